"""`qen.from_torch`: an `nn.Sequential` of dense layers to a model file.

Maps, exactly: `Linear` (a bias-free one gets a zero bias), `ReLU`,
`GELU(approximate="tanh")`, `Softmax` over the last dimension, `Flatten`
where it leaves [batch, features], and the inference no-ops `Identity` and
`Dropout` (in eval mode). Sequentials may nest. Anything else, or a layer
whose settings have no exact counterpart, is refused with a `ValueError`
that names the layer.
"""

from __future__ import annotations

import os
from typing import Iterator

import numpy as np

from ..writer import Layer
from .conversion import import_framework, make_probe, require_operations, write_checked

__all__ = ["from_torch"]

_CONVERTER = "qen.from_torch"
_SUPPORTED = "Linear, ReLU, GELU(approximate='tanh'), Softmax(dim=-1), Flatten, Identity and Dropout"


def from_torch(module, path: str | os.PathLike, *, example_input=None) -> None:
    """Writes `module` (an `nn.Sequential`, nested or not, in float32 or float64) to `path`.

    `example_input` is a sample batch [batch, ...]: it gives the input's
    shape when the first layer does not (a leading `Flatten` of images, an
    activation), and its first rows become the probe batch. Without it the
    probe is seeded random values. The written file is run on the probe and
    compared with `module`'s output before it replaces `path`.
    """
    torch = import_framework("torch", "torch", _CONVERTER)
    if not isinstance(module, torch.nn.Module):
        raise TypeError(f"module must be a torch.nn.Module, got {type(module).__name__}")
    sample = None
    if example_input is not None:
        sample = (example_input.detach().cpu().to(torch.float32).numpy() if isinstance(example_input, torch.Tensor)
                  else np.asarray(example_input))
    mapper = _Mapper(torch, () if sample is None else sample.shape[1:])
    for name, child in _leaves(torch, module, ""):
        mapper.add(name, child)
    require_operations(_CONVERTER, mapper.layers)
    probe = make_probe(mapper.features, sample)
    item_shape = mapper.item_shape or (mapper.features,)
    parameter = next(module.parameters(), None)
    dtype, device = (torch.float32, "cpu") if parameter is None else (parameter.dtype, parameter.device)

    def source(batch: np.ndarray) -> np.ndarray:
        x = torch.from_numpy(batch.reshape((len(batch),) + tuple(item_shape))).to(device=device, dtype=dtype)
        with torch.no_grad():
            return module(x).detach().cpu().double().numpy()

    write_checked(path, mapper.layers, mapper.tensors, probe=probe, source=source, converter=_CONVERTER,
                  producer_version=torch.__version__)


def _leaves(torch, module, name: str) -> Iterator[tuple[str, object]]:
    """The modules a Sequential runs, in order, nested Sequentials opened; each with its dotted path."""
    if type(module).forward is torch.nn.Sequential.forward and isinstance(module, torch.nn.Sequential):
        _refuse_hooks(name, module)
        # _modules, not named_children(): a module listed twice runs twice.
        for child_name, child in module._modules.items():
            yield from _leaves(torch, child, f"{name}.{child_name}" if name else child_name)
    else:
        yield name or type(module).__name__, module


def _refuse_hooks(name: str, module) -> None:
    if module._forward_hooks or module._forward_pre_hooks:
        raise ValueError(f"layer {name or '(top)'} ({type(module).__name__}): has forward hooks, "
                         "which change its output")


class _Mapper:
    """Builds the chain layer by layer, tracking the rank of the value that flows through it."""

    def __init__(self, torch, item_shape: tuple[int, ...]) -> None:
        self.torch = torch
        self.item_shape = item_shape  # the input's shape after the batch dimension, if given
        self.rank = 1 + len(item_shape) if item_shape else 2
        self.features = int(np.prod(item_shape)) if item_shape else None
        self.width = self.features  # features of the value flowing out of the last layer
        self.layers: list[Layer] = []
        self.tensors: dict[str, np.ndarray] = {}

    def add(self, name: str, module) -> None:
        nn = self.torch.nn
        label = f"layer {name} ({type(module).__name__})"
        kind = next((cls for cls in (nn.Linear, nn.ReLU, nn.GELU, nn.Softmax, nn.Flatten, nn.Identity,
                                     nn.Dropout) if type(module).forward is cls.forward and isinstance(module, cls)),
                    None)
        if kind is None:
            raise ValueError(f"{label}: not supported; the converter maps {_SUPPORTED}, in nn.Sequential")
        _refuse_hooks(name, module)
        if kind is nn.Identity:
            return
        if kind is nn.Dropout:
            if module.training and module.p > 0:
                raise ValueError(f"{label}: in training mode it drops values; call module.eval() first")
            return
        if kind is nn.Flatten:
            self._flatten(label, module)
            return
        if self.rank != 2:
            raise ValueError(f"{label}: its input has {self.rank} dimensions; the runtime's operations "
                             "take [batch, features] (put an nn.Flatten() first)")
        if kind is nn.Linear:
            self._linear(label, name, module)
        elif kind is nn.ReLU:
            self.layers.append(Layer("relu", name=name))
        elif kind is nn.GELU:
            if module.approximate != "tanh":
                raise ValueError(f"{label}: approximate={module.approximate!r} has no exact mapping; "
                                 "use approximate='tanh'")
            self.layers.append(Layer("gelu", name=name))
        else:
            if module.dim not in (1, -1):
                raise ValueError(f"{label}: dim={module.dim!r}; only the last dimension of [batch, features] "
                                 "maps (dim=-1)")
            self.layers.append(Layer("softmax", name=name))
        if self.features is None:
            raise ValueError(f"{label}: the input width is not known before it: pass example_input")

    def _flatten(self, label: str, module) -> None:
        rank = self.rank
        start, end = module.start_dim, module.end_dim
        if not (-rank <= start < rank and -rank <= end < rank):
            raise ValueError(f"{label}: start_dim={start}, end_dim={end} are out of range for "
                             f"a {rank}-D input")
        start, end = start % rank, end % rank
        if not ((start == 1 and end == rank - 1) or (rank == 2 and start == end)):
            raise ValueError(f"{label}: start_dim={module.start_dim}, end_dim={module.end_dim} on a {rank}-D "
                             "input does not give [batch, features]")
        self.rank = 2

    def _linear(self, label: str, name: str, module) -> None:
        weight = module.weight.detach()
        if weight.dtype not in (self.torch.float32, self.torch.float64):
            raise ValueError(f"{label}: weight dtype {weight.dtype}; float32 and float64 convert "
                             "(call module.float())")
        n, k = weight.shape
        if self.width is not None and self.width != k:
            raise ValueError(f"{label}: takes {k} features, its input has {self.width}")
        if self.features is None:
            self.features = k
        self.width = n
        self.tensors[f"{name}.weight"] = weight.cpu().numpy().astype(np.float32)
        bias = module.bias
        self.tensors[f"{name}.bias"] = (np.zeros(n, np.float32) if bias is None
                                        else bias.detach().cpu().numpy().astype(np.float32))
        self.layers.append(Layer("linear", f"{name}.weight", f"{name}.bias", name=name))
