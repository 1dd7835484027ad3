"""`qen.from_torch`: a PyTorch module whose computation is a chain of dense layers, to a model file.

The module's forward is traced with `torch.fx` (an `nn.Sequential`, nested
or not, or any module whose forward calls its steps one after another) and
each step of the trace is mapped; a `torch.compile`d module is converted
from the module it compiles. Mapped:

- submodules `Linear` (a bias-free one gets a zero bias), `ReLU`,
  `GELU(approximate='tanh')`, `Softmax` over the last dimension (or
  `dim=None`, which torch applies to it on [batch, features]), `Flatten`
  where it leaves [batch, features], `BatchNorm1d` in eval mode (folded into
  the neighbouring Linear), and the inference no-ops `Identity` and
  `Dropout` (in eval mode);
- the functional forms `torch.relu`, `F.relu`, `Tensor.relu`,
  `F.gelu(x, approximate='tanh')`, `torch.softmax`/`F.softmax`/`Tensor.softmax`
  over the last dimension, `F.dropout` outside training, and
  `torch.flatten`/`Tensor.flatten`/`view`/`reshape` to [batch, -1] (the batch
  given as `x.size(0)`, `x.shape[0]` or `len(x)`).

Refused with a `ValueError` that names the step: any other layer or
operation (a residual `+`, `torch.tanh`), a
layer whose settings have no exact counterpart (the erf GELU, a softmax over
another dimension, Dropout or BatchNorm1d in training mode), a parameter
or buffer read in forward (`F.linear(x, self.w, self.b)`), a graph that is
not one chain, forward hooks, a forward that does not trace (control flow
on values), and TorchScript modules. Such a model converts through ONNX:
`torch.onnx.export` it and use `qen.from_onnx`.
"""

from __future__ import annotations

import builtins
import contextlib
import operator
import os
from typing import Any

import numpy as np

from ..writer import Layer
from .conversion import AffineFolding, import_framework, make_probe, require_operations, write_checked

__all__ = ["from_torch"]

_CONVERTER = "qen.from_torch"
_SUPPORTED = (
    "Linear, ReLU, GELU(approximate='tanh'), Softmax(dim=-1), Flatten, BatchNorm1d (eval), Identity "
    "and Dropout, or their functional forms"
)
_WORKS = (
    f"what converts is an nn.Sequential, or a module whose forward calls {_SUPPORTED} one after another; "
    "for anything else, export to ONNX (torch.onnx.export) and use qen.from_onnx"
)


def from_torch(module, path: str | os.PathLike, *, example_input=None) -> None:
    """Writes `module` (a chain of the steps listed in the module docstring, float32 or float64) to `path`.

    `example_input` is a sample batch [batch, ...]: it gives the input's
    shape when the first layer does not (a leading `Flatten` of images, an
    activation), and its first rows become the probe batch. Without it the
    probe is seeded random values. An image input keeps its shape only when
    `example_input` gives it: the first step flattens [batch, d1, d2, ...],
    the file declares that shape, and its `Session` takes it as well as the
    flat [batch, d1 * d2 * ...]; without `example_input` the file declares
    the flat [batch, features] that the first Linear reads. The written file
    is run on the probe and compared with `module`'s output before it
    replaces `path`.
    """
    torch = import_framework("torch", "torch", _CONVERTER)
    if not isinstance(module, torch.nn.Module):
        raise TypeError(f"module must be a torch.nn.Module, got {type(module).__name__}")
    compiled = type(module).__name__ == "OptimizedModule" and isinstance(
        getattr(module, "_orig_mod", None), torch.nn.Module
    )
    if compiled:  # torch.compile wraps the module; its computation is the original's
        module = module._orig_mod
    sample = None
    if example_input is not None:
        sample = (
            example_input.detach().cpu().to(torch.float32).numpy()
            if isinstance(example_input, torch.Tensor)
            else np.asarray(example_input)
        )
    for name, sub in module.named_modules():
        if isinstance(sub, torch.jit.ScriptModule):
            where = f"layer {name} ({type(sub).__name__})" if name else f"module {type(sub).__name__}"
            raise ValueError(f"{where}: a TorchScript module, whose steps cannot be traced; {_WORKS}")
        if sub._forward_hooks or sub._forward_pre_hooks:
            raise ValueError(
                f"layer {name or '(top)'} ({type(sub).__name__}): has forward hooks, which change its output"
            )
    mapper = _Mapper(torch, () if sample is None else sample.shape[1:])
    if _is_leaf(torch, module):
        mapper.add(type(module).__name__, module)
    else:
        _walk(torch, module, mapper)
    mapper.folding.finish()
    require_operations(_CONVERTER, mapper.layers)
    features = mapper.features
    if features is None:
        raise ValueError(f"module {type(module).__name__}: the input width is not known: pass example_input")
    probe = make_probe(features, sample)
    item_shape = mapper.item_shape or (features,)
    parameter = next(module.parameters(), None)
    dtype, device = (torch.float32, "cpu") if parameter is None else (parameter.dtype, parameter.device)

    def source(batch: np.ndarray) -> np.ndarray:
        x = torch.from_numpy(batch.reshape((len(batch),) + tuple(item_shape))).to(device=device, dtype=dtype)
        with torch.no_grad():
            return module(x).detach().cpu().double().numpy()

    write_checked(
        path,
        mapper.layers,
        mapper.tensors,
        probe=probe,
        source=source,
        converter=_CONVERTER,
        producer_version=torch.__version__,
        item_shape=item_shape,
        metadata={"source": "the module that torch.compile wrapped"} if compiled else None,
    )


def _layer_classes(nn) -> tuple:
    return nn.Linear, nn.ReLU, nn.GELU, nn.Softmax, nn.Flatten, nn.Identity, nn.Dropout, nn.BatchNorm1d


def _is_leaf(torch, module) -> bool:
    """A layer of torch.nn, or a subclass that keeps a mapped layer's forward: mapped as it is, not traced."""
    nn = torch.nn
    if isinstance(module, nn.Sequential):
        return False
    return type(module).__module__.startswith("torch.nn.") or any(
        type(module).forward is cls.forward for cls in _layer_classes(nn)
    )


def _walk(torch, module, mapper: _Mapper) -> None:
    """Traces `module` and maps each step of the trace, following the one value from input to output."""

    class Tracer(torch.fx.Tracer):
        def is_leaf_module(self, m, qualified_name: str) -> bool:
            return _is_leaf(torch, m)

    try:
        with _len_recorded(torch, type(module).forward):
            graph = Tracer().trace(module)
    except Exception as error:  # tracing fails in many ways (TraceError, TypeError, NotImplementedError...)
        reason = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        raise ValueError(f"module {type(module).__name__}: its forward does not trace ({reason}); {_WORKS}") from error
    current: Any = None  # the trace node holding the chain's value
    batch_of: dict = {}  # batch_of: trace nodes that hold x.shape (None) or the batch extent ("batch")
    for node in graph.nodes:
        if node.op == "placeholder":
            if current is not None:
                raise ValueError(f"module {type(module).__name__}: forward takes more than one input; a chain has one")
            current = node
            continue
        if node.op == "output":
            if node.args[0] is not current:
                raise ValueError(
                    f"module {type(module).__name__}: forward returns something other than the "
                    f"last step's value; {_WORKS}"
                )
            continue
        label = _label(node, module)
        if _shape_query(torch, node, batch_of):
            continue
        if node.op == "get_attr":  # a parameter or buffer that forward reads itself
            owner, _, attribute = node.target.rpartition(".")
            where = (
                f"layer {owner} ({type(module.get_submodule(owner)).__name__})"
                if owner
                else f"module {type(module).__name__}"
            )
            raise ValueError(f"{where}: `self.{attribute}` is used directly; wrap it in nn.Linear, or export to ONNX")
        if not node.args or node.args[0] is not current:
            raise ValueError(f"{label}: does not read the chain's value (the output of {current.name!r}); {_WORKS}")
        if node.op == "call_module":
            mapper.add(str(node.target), module.get_submodule(node.target))
        else:
            mapper.function(label, node, batch_of)
        current = node


@contextlib.contextmanager
def _len_recorded(torch, forward):
    """While tracing, `len(x)` in `forward` records a call instead of failing on the traced value."""
    names = getattr(forward, "__globals__", None)
    if names is None:
        yield
        return

    def traced_len(value):
        if isinstance(value, torch.fx.Proxy):
            return value.tracer.create_proxy("call_function", builtins.len, (value,), {})
        return builtins.len(value)

    had, old = "len" in names, names.get("len")
    names["len"] = traced_len
    try:
        yield
    finally:
        if had:
            names["len"] = old
        else:
            del names["len"]


def _label(node, module) -> str:
    if node.op == "call_module":
        return f"layer {node.target} ({type(module.get_submodule(node.target)).__name__})"
    if node.op == "call_method":
        return f"method Tensor.{node.target} ({node.name})"
    if node.op == "call_function":
        return f"function {getattr(node.target, '__name__', node.target)} ({node.name})"
    return f"{node.op} {node.target} ({node.name})"


def _shape_query(torch, node, batch_of: dict) -> bool:
    """Notes `x.size()`, `x.size(0)`, `x.shape`, `x.shape[0]` and `len(x)`, which a view or reshape may read."""
    if node.op == "call_function" and node.target is builtins.len:
        batch_of[node] = "batch"
        return True
    if node.op == "call_method" and node.target == "size" and _arg(node, 1, "dim", 0) == 0:
        batch_of[node] = "batch" if _arg(node, 1, "dim", None) == 0 else None
        return True
    if node.op == "call_function" and node.target is getattr and node.args[1] == "shape":
        batch_of[node] = None
        return True
    if node.op == "call_function" and node.target is operator.getitem and node.args[0] in batch_of:
        if batch_of[node.args[0]] is None and node.args[1] == 0:
            batch_of[node] = "batch"
            return True
    return False


def _arg(node, index: int, name: str, default):
    return node.args[index] if len(node.args) > index else node.kwargs.get(name, default)


class _Mapper:
    """Builds the chain step by step, tracking the rank and width of the value that flows through it."""

    def __init__(self, torch, item_shape: tuple[int, ...]) -> None:
        self.torch = torch
        self.item_shape = item_shape  # the input's shape after the batch dimension, if given
        self.rank = 1 + len(item_shape) if item_shape else 2
        self.features = int(np.prod(item_shape)) if item_shape else None
        self.width = self.features  # features of the value flowing out of the last layer
        self.layers: list[Layer] = []
        self.tensors: dict[str, np.ndarray] = {}
        self.folding = AffineFolding(self.layers, self.tensors)

    def add(self, name: str, module) -> None:
        nn = self.torch.nn
        label = f"layer {name} ({type(module).__name__})"
        kind = next(
            (cls for cls in _layer_classes(nn) if type(module).forward is cls.forward and isinstance(module, cls)), None
        )
        if kind is None:
            raise ValueError(f"{label}: not supported; {_WORKS}")
        if kind is nn.Identity:
            pass
        elif kind is nn.Dropout:
            self.dropout(label, module.training and module.p > 0)
        elif kind is nn.Flatten:
            self.flatten(label, module.start_dim, module.end_dim)
        elif kind is nn.Linear:
            self._linear(label, name, module)
        elif kind is nn.BatchNorm1d:
            self._batchnorm(label, module)
        elif kind is nn.ReLU:
            self.activation(label, "relu", name)
        elif kind is nn.GELU:
            self.gelu(label, module.approximate, name)
        else:
            self.softmax(label, module.dim, name)

    def function(self, label: str, node, batch_of: dict) -> None:
        """A functional step: `torch.relu(x)`, `F.gelu(x, approximate='tanh')`, `x.view(x.size(0), -1)`..."""
        torch, F = self.torch, self.torch.nn.functional
        target, method = node.target, node.op == "call_method"
        name = node.name
        if (method and target in ("relu", "relu_")) or target in (torch.relu, torch.relu_, F.relu):
            self.activation(label, "relu", name)
        elif target is F.gelu:
            self.gelu(label, _arg(node, 1, "approximate", "none"), name)
        elif (method and target == "softmax") or target in (torch.softmax, F.softmax):
            if _arg(node, 2, "dtype", None) is not None:
                raise ValueError(f"{label}: dtype= changes the softmax's precision; only float32 maps")
            self.softmax(label, _arg(node, 1, "dim", None), name)
        elif target is F.dropout:
            self.dropout(label, _arg(node, 2, "training", True) and _arg(node, 1, "p", 0.5) > 0)
        elif (method and target == "flatten") or target is torch.flatten:
            self.flatten(label, _arg(node, 1, "start_dim", 0), _arg(node, 2, "end_dim", -1))
        elif (method and target in ("view", "reshape")) or target is torch.reshape:
            shape = node.args[1:] if method else _arg(node, 1, "shape", ())
            if method and len(shape) == 1 and isinstance(shape[0], (tuple, list)):
                shape = shape[0]
            self.reshape(label, [batch_of.get(d, "?") if hasattr(d, "op") else d for d in shape])
        else:
            raise ValueError(f"{label}: not supported; {_WORKS}")
        if node.kwargs.get("out") is not None:
            raise ValueError(f"{label}: writes into out=; a chain step makes a new value")

    def _two_d(self, label: str) -> None:
        if self.rank != 2:
            raise ValueError(
                f"{label}: its input has {self.rank} dimensions; the runtime's operations "
                "take [batch, features] (put an nn.Flatten() first)"
            )

    def activation(self, label: str, op: str, name: str) -> None:
        self._two_d(label)
        if self.features is None:
            raise ValueError(f"{label}: the input width is not known before it: pass example_input")
        self.layers.append(Layer(op, name=name))
        self.folding.activation()

    def gelu(self, label: str, approximate: str, name: str) -> None:
        if approximate != "tanh":
            raise ValueError(f"{label}: approximate={approximate!r} has no exact mapping; use approximate='tanh'")
        self.activation(label, "gelu", name)

    def softmax(self, label: str, dim, name: str) -> None:
        if dim not in (None, 1, -1):  # the activations take [batch, features], where torch puts dim=None on 1
            raise ValueError(f"{label}: dim={dim!r}; only the last dimension of [batch, features] maps (dim=-1)")
        self.activation(label, "softmax", name)

    def dropout(self, label: str, drops: bool) -> None:
        if drops:
            raise ValueError(f"{label}: in training mode it drops values; call module.eval() first")

    def flatten(self, label: str, start: int, end: int) -> None:
        rank = self.rank
        if not (-rank <= start < rank and -rank <= end < rank):
            raise ValueError(f"{label}: start_dim={start}, end_dim={end} are out of range for a {rank}-D input")
        if not ((start % rank == 1 and end % rank == rank - 1) or (rank == 2 and start % rank == end % rank)):
            raise ValueError(
                f"{label}: start_dim={start}, end_dim={end} on a {rank}-D input does not give [batch, features]"
            )
        self.rank = 2

    def reshape(self, label: str, shape: list) -> None:
        """A view or reshape to [batch, -1] or [batch or -1, features]."""
        width = self.features if self.rank != 2 else self.width
        fits = len(shape) == 2 and (
            (shape[0] == "batch" and (shape[1] == -1 or shape[1] == width is not None))
            or (shape[0] == -1 and shape[1] == width is not None)
        )
        if not fits:
            raise ValueError(
                f"{label}: shape {shape} does not give [batch, features]; use view(x.size(0), -1) or flatten(x, 1)"
            )
        self.rank = 2

    def _linear(self, label: str, name: str, module) -> None:
        self._two_d(label)
        weight = module.weight.detach()
        if weight.dtype not in (self.torch.float32, self.torch.float64):
            raise ValueError(f"{label}: weight dtype {weight.dtype}; float32 and float64 convert (call module.float())")
        n, k = weight.shape
        if self.width is not None and self.width != k:
            raise ValueError(f"{label}: takes {k} features, its input has {self.width}")
        if self.features is None:
            self.features = k
        self.width = n
        bias = np.zeros(n, np.float32) if module.bias is None else module.bias.detach().cpu().numpy().astype(np.float32)
        weight, bias = self.folding.linear(label, weight.cpu().numpy().astype(np.float32), bias)
        if f"{name}.weight" in self.tensors:
            name = f"{name}#{len(self.layers)}"  # a layer called twice; each call may fold differently
        self.tensors[f"{name}.weight"], self.tensors[f"{name}.bias"] = weight, bias
        self.layers.append(Layer("linear", f"{name}.weight", f"{name}.bias", name=name))

    def _batchnorm(self, label: str, module) -> None:
        """y = (x - mean) / sqrt(var + eps) * weight + bias, with the running statistics of eval mode."""
        self._two_d(label)
        if module.training or module.running_mean is None:
            raise ValueError(
                f"{label}: normalises by the batch's own statistics (training mode or "
                "track_running_stats=False); call module.eval() on a module with running statistics"
            )
        if self.width is not None and module.num_features != self.width:
            raise ValueError(f"{label}: has {module.num_features} features, its input has {self.width}")
        as64 = lambda t: t.detach().cpu().double().numpy()  # noqa: E731
        scale = 1.0 / np.sqrt(as64(module.running_var) + module.eps)
        if module.weight is not None:
            scale = scale * as64(module.weight)
        shift = -as64(module.running_mean) * scale
        if module.bias is not None:
            shift = shift + as64(module.bias)
        self.folding.affine(label, scale, shift, module.num_features)
