"""`qen.from_onnx`: an ONNX graph of dense layers to a model file.

The graph must be one chain from its single input to its single output.
Mapped exactly: `Gemm` (alpha = beta = 1, transA 0, transB 0 or 1),
`MatMul` (input first, weight second) with or without a following `Add` of
the bias in either operand order, `Relu`, `Gelu` with approximate="tanh",
the tanh GELU written out as arithmetic nodes (in any order of its factors
and terms, with the runtime's constants), `Softmax` over the last axis,
`Flatten`/`Reshape` that leave [batch, features], and `Identity`. Weights
may live in external data files beside the model. Anything else is refused
with a `ValueError` naming the node and its op type.

The source run that the written file is checked against is onnx's own
`onnx.reference.ReferenceEvaluator`, so onnxruntime is not needed.
"""

from __future__ import annotations

import itertools
import os
from collections import defaultdict

import numpy as np

from ..writer import Layer
from .conversion import PROBE_ROWS, import_framework, make_probe, require_operations, write_checked

__all__ = ["from_onnx"]

_CONVERTER = "qen.from_onnx"
_SUPPORTED = ("Gemm, MatMul (+ Add), Relu, Gelu(approximate='tanh'), the tanh GELU formula, Softmax, "
              "Flatten, Reshape and Identity")
# Nodes that may make up the GELU formula written out; Erf is here so that
# the erf form is named when it is refused.
_MAPPED = {"Identity", "Flatten", "Reshape", "Gemm", "MatMul", "Relu", "Gelu", "Softmax"}
_ARITHMETIC = {"Mul", "Add", "Sub", "Div", "Pow", "Tanh", "Erf"}
_FORMULA_NODES = 32  # the formula takes about ten nodes; the search looks no further than this
# The runtime's GELU, 0.5 * x * (1 + tanh(0.7978846 * (x + 0.044715 * x^3))), as a
# tree of flattened products and sums whose factors and terms may come in any order.
_GELU = ("mul", ("const", "half"), "x",
         ("add", ("const", "one"),
          ("tanh", ("mul", ("const", "sqrt(2/pi)"),
                    ("add", "x", ("mul", ("const", "0.044715"), "x", "x", "x"))))))
_GELU_CONSTANTS = {"half": np.float32(0.5), "one": np.float32(1.0),
                   "sqrt(2/pi)": np.frombuffer(bytes.fromhex("2a424c3f"), "<f4")[0],
                   "0.044715": np.frombuffer(bytes.fromhex("1327373d"), "<f4")[0]}


def from_onnx(model_or_path, path: str | os.PathLike) -> None:
    """Writes the ONNX model (a `ModelProto` or the path of a .onnx file) to `path`.

    A path loads weights kept in external data files from the model's
    folder; a `ModelProto` must hold its weights already. The written file is
    run on a probe batch and compared with onnx's reference evaluator before
    it replaces `path`.
    """
    onnx = import_framework("onnx", "onnx", _CONVERTER)
    if isinstance(model_or_path, (str, os.PathLike)):
        try:
            model = onnx.load(os.fspath(model_or_path))
        except OSError:
            raise
        except Exception as error:  # protobuf's DecodeError and onnx's own errors share no base
            raise ValueError(f"{os.fspath(model_or_path)}: not a readable ONNX model ({error})") from error
    elif isinstance(model_or_path, onnx.ModelProto):
        model = model_or_path
    else:
        raise TypeError(f"model_or_path must be an onnx.ModelProto or a path, got {type(model_or_path).__name__}")
    chain = _Chain(onnx, model.graph, _opset(model))
    require_operations(_CONVERTER, chain.layers)
    if chain.features is None:
        raise ValueError(f"input {chain.input_name!r}: its width is not declared, and the first layer "
                         "is not a Linear that would tell it")
    # A graph that fixes its batch runs on chunks of that many rows; the file
    # leaves the batch free, since every operation treats rows independently.
    step = chain.batch or PROBE_ROWS
    probe = make_probe(chain.features, rows=step * max(1, PROBE_ROWS // step))

    def source(batch: np.ndarray) -> np.ndarray:
        evaluator = import_framework("onnx.reference", "onnx", _CONVERTER).ReferenceEvaluator(model)
        x = batch.reshape((len(batch),) + chain.item_shape)
        return np.concatenate([evaluator.run(None, {chain.input_name: x[i:i + step]})[0]
                               for i in range(0, len(x), step)])

    metadata = {"source": f"{model.producer_name} {model.producer_version}".strip()} if model.producer_name else None
    write_checked(path, chain.layers, chain.tensors, probe=probe, source=source, converter=_CONVERTER,
                  producer_version=onnx.__version__, input_name=chain.input_name,
                  output_name=chain.output_name, metadata=metadata)


def _opset(model) -> int:
    return next((o.version for o in model.opset_import if o.domain in ("", "ai.onnx")), 1)


def _label(node, index: int) -> str:
    return f"node {node.name or f'#{index}'} ({node.op_type})"


class _Chain:
    """Walks the graph's nodes in order, following the one value that runs from input to output."""

    def __init__(self, onnx, graph, opset: int) -> None:
        self.onnx, self.opset = onnx, opset
        self.constants = {t.name: self._initializer(t) for t in graph.initializer}
        nodes = []
        for index, node in enumerate(graph.node):
            if node.domain not in ("", "ai.onnx"):
                raise ValueError(f"{_label(node, index)}: operator domain {node.domain!r} is not supported; "
                                 f"the converter maps {_SUPPORTED}")
            if node.op_type == "Constant":
                self.constants[node.output[0]] = self._constant(node, index)
            else:
                nodes.append((index, node))
        self.node_at = dict(nodes)
        self.consumers = defaultdict(list)
        for i, n in nodes:
            for name in set(n.input):
                self.consumers[name].append((i, n))
        self.layers: list[Layer] = []
        self.tensors: dict[str, np.ndarray] = {}
        self._read_signature(graph)
        done: set[int] = set()
        for index, node in nodes:
            if index not in done:
                done |= self._step(index, node)
        if self.current != self.output_name:
            raise ValueError(f"graph output {self.output_name!r} is not the end of the chain of nodes "
                             f"that starts at input {self.input_name!r}")

    # -- values -------------------------------------------------------------------------------

    def _initializer(self, tensor) -> np.ndarray:
        if tensor.data_location == self.onnx.TensorProto.EXTERNAL:
            raise ValueError(f"initializer {tensor.name!r}: its data is in an external file; "
                             "pass the model's path so that it is loaded from the model's folder")
        return self.onnx.numpy_helper.to_array(tensor)

    def _constant(self, node, index: int) -> np.ndarray:
        for attribute in node.attribute:
            value = self.onnx.helper.get_attribute_value(attribute)
            if attribute.name == "value":
                return self._initializer(value)
            if attribute.name in ("value_float", "value_floats"):
                return np.asarray(value, np.float32)
            if attribute.name in ("value_int", "value_ints"):
                return np.asarray(value, np.int64)
        raise ValueError(f"{_label(node, index)}: only a dense numeric value is supported")

    def _read_signature(self, graph) -> None:
        inputs = [i for i in graph.input if i.name not in self.constants]
        if len(inputs) != 1 or len(graph.output) != 1:
            raise ValueError(f"the graph has {len(inputs)} inputs and {len(graph.output)} outputs; "
                             "a chain has one of each")
        (value,) = inputs
        tensor_type = value.type.tensor_type
        if not value.type.HasField("tensor_type") or tensor_type.elem_type != self.onnx.TensorProto.FLOAT:
            raise ValueError(f"input {value.name!r}: not a float32 tensor")
        dims = [d.dim_value if d.HasField("dim_value") and d.dim_value > 0 else None
                for d in tensor_type.shape.dim]
        if len(dims) < 2 or (len(dims) > 2 and None in dims[1:]):
            raise ValueError(f"input {value.name!r}: shape {_shape(dims)}; expected [batch, features...] "
                             "with only the batch extent unknown")
        self.input_name, self.output_name = value.name, graph.output[0].name
        self.batch = dims[0]  # an int when the graph fixes it
        self.dims = dims  # the shape of the chain's current value (None: not known)
        self.features = None if dims[1] is None else int(np.prod(dims[1:]))
        self.item_shape = None if dims[1] is None else tuple(dims[1:])
        self.current = value.name

    def _const(self, name: str, node, index: int, role: str) -> np.ndarray:
        if name not in self.constants:
            raise ValueError(f"{_label(node, index)}: its {role} {name!r} is not a constant (initializer)")
        return self.constants[name]

    def _live(self, node) -> list[str]:
        return [name for name in node.input if name and name not in self.constants]

    # -- nodes --------------------------------------------------------------------------------

    def _step(self, index: int, node) -> set[int]:
        """Maps the node (and any later node it fuses with); returns the indices it used."""
        label = _label(node, index)
        live = self._live(node)
        if self.current not in live:
            raise ValueError(f"{label}: does not read the chain's value {self.current!r}; "
                             "only a single chain from input to output maps")
        op = node.op_type
        if op in _ARITHMETIC:
            return self._gelu_formula(index, node)
        if op not in _MAPPED:
            raise ValueError(f"{label}: not supported; the converter maps {_SUPPORTED}")
        if live != [self.current] or len(node.output) != 1:
            raise ValueError(f"{label}: reads {len(live)} values and writes {len(node.output)}; "
                             f"expected one of each")
        if op == "Identity":
            pass
        elif op in ("Flatten", "Reshape"):
            self._reshape(label, node, index)
        elif op == "Gemm":
            self._gemm(label, node, index)
        elif op == "MatMul":
            return self._matmul(label, node, index)
        else:
            self._activation(label, node)
        self.current = node.output[0]
        return {index}

    def _attributes(self, node) -> dict:
        return {a.name: self.onnx.helper.get_attribute_value(a) for a in node.attribute}

    def _require_2d(self, label: str) -> None:
        if len(self.dims) != 2:
            raise ValueError(f"{label}: its input has {len(self.dims)} dimensions; the runtime's operations "
                             "take [batch, features] (Flatten first)")

    def _reshape(self, label: str, node, index: int) -> None:
        dims = self.dims
        rest = None if None in dims[1:] else int(np.prod(dims[1:]))
        if node.op_type == "Flatten":
            axis = self._attributes(node).get("axis", 1)
            fits = axis in (1, 1 - len(dims))
        else:
            target = self._const(node.input[1], node, index, "shape").astype(np.int64).reshape(-1).tolist()
            keep = not self._attributes(node).get("allowzero", 0)
            copied = [("batch" if i == 0 else dims[i]) if v == 0 and keep and i < len(dims) else v
                      for i, v in enumerate(target)]
            batch_ok = len(copied) == 2 and (copied[0] == "batch" or (copied[0] == dims[0] is not None))
            fits = len(copied) == 2 and ((batch_ok and copied[1] in (-1, rest)) or
                                         (copied[0] == -1 and rest is not None and copied[1] == rest))
            if not fits:
                raise ValueError(f"{label}: shape {target} on an input of shape {_shape(dims)} does not give "
                                 "[batch, features]")
        if not fits:
            raise ValueError(f"{label}: axis={axis} on an input of shape {_shape(dims)} does not give "
                             "[batch, features]")
        self.dims = [dims[0], rest]

    def _add_linear(self, label: str, name: str, weight: np.ndarray, bias: np.ndarray | None) -> None:
        self._require_2d(label)
        if weight.ndim != 2:
            raise ValueError(f"{label}: weight of shape {list(weight.shape)}; expected 2-D")
        n, k = weight.shape
        if self.dims[1] is not None and self.dims[1] != k:
            raise ValueError(f"{label}: takes {k} features, its input has {self.dims[1]}")
        if bias is None:
            bias = np.zeros(n, np.float32)
        elif bias.ndim > 2 or any(extent not in (1, full) for extent, full in zip(bias.shape[::-1], (n, 1))):
            raise ValueError(f"{label}: bias of shape {list(bias.shape)} does not broadcast over the "
                             f"{n} outputs alone")
        for role, array in (("weight", weight), ("bias", bias)):
            if array.dtype != np.float32:
                raise ValueError(f"{label}: {role} is {array.dtype}, expected float32")
        if self.features is None:
            self.features, self.item_shape = k, (k,)
        if f"{name}.weight" in self.tensors:
            name = f"{name}#{len(self.layers)}"  # node names need not be unique
        self.tensors[f"{name}.weight"] = np.ascontiguousarray(weight)
        self.tensors[f"{name}.bias"] = np.broadcast_to(bias, (1, n)).reshape(n).copy()
        self.layers.append(Layer("linear", f"{name}.weight", f"{name}.bias", name=name))
        self.dims = [self.dims[0], n]

    def _gemm(self, label: str, node, index: int) -> None:
        attributes = self._attributes(node)
        alpha, beta = attributes.get("alpha", 1.0), attributes.get("beta", 1.0)
        trans_a, trans_b = attributes.get("transA", 0), attributes.get("transB", 0)
        has_bias = len(node.input) > 2 and node.input[2]
        if node.input[0] != self.current or trans_a:
            raise ValueError(f"{label}: the chain's value must be operand A, untransposed (transA=0)")
        if alpha != 1.0 or (has_bias and beta != 1.0):
            raise ValueError(f"{label}: alpha={alpha}, beta={beta}; only alpha = beta = 1 maps exactly")
        weight = self._const(node.input[1], node, index, "operand B")
        bias = self._const(node.input[2], node, index, "operand C") if has_bias else None
        self._add_linear(label, node.name or f"#{index}", weight if trans_b else weight.T, bias)

    def _matmul(self, label: str, node, index: int) -> set[int]:
        if node.input[0] != self.current:
            raise ValueError(f"{label}: the weight comes first (W @ x); only x @ W maps onto a Linear")
        weight = self._const(node.input[1], node, index, "weight")
        used, bias, out = {index}, None, node.output[0]
        following = self.consumers.get(out, [])
        if len(following) == 1 and following[0][1].op_type == "Add" and out != self.output_name:
            add_index, add = following[0]
            other = [name for name in add.input if name != out]
            if len(add.input) == 2 and len(other) == 1 and other[0] in self.constants:
                bias, used, out = self.constants[other[0]], used | {add_index}, add.output[0]
        self._add_linear(label, node.name or f"#{index}", weight.T, bias)
        self.current = out
        return used

    def _activation(self, label: str, node) -> None:
        self._require_2d(label)
        name = node.name or node.op_type
        if node.op_type == "Relu":
            self.layers.append(Layer("relu", name=name))
            return
        attributes = self._attributes(node)
        if node.op_type == "Gelu":
            approximate = attributes.get("approximate", b"none")
            approximate = approximate.decode() if isinstance(approximate, bytes) else approximate
            if approximate != "tanh":
                raise ValueError(f"{label}: approximate={approximate!r} (the erf form) has no exact mapping; "
                                 "export GELU(approximate='tanh')")
            self.layers.append(Layer("gelu", name=name))
            return
        axis = attributes.get("axis", -1 if self.opset >= 13 else 1)
        if axis not in (1, -1):
            raise ValueError(f"{label}: axis={axis}; only the last axis of [batch, features] maps")
        self.layers.append(Layer("softmax", name=name))

    # -- the GELU formula ---------------------------------------------------------------------

    def _gelu_formula(self, index: int, node) -> set[int]:
        """Finds the first value, downstream of the chain's value, that is the tanh GELU of it."""
        label = _label(node, index)
        self._require_2d(label)
        region: dict[str, tuple[int, object]] = {}
        frontier = [self.current]
        while frontier and len(region) < _FORMULA_NODES:
            for i, n in self.consumers.get(frontier.pop(0), []):
                if n.op_type in _ARITHMETIC and len(n.output) == 1 and n.output[0] not in region and all(
                        name == self.current or name in region for name in self._live(n)):
                    region[n.output[0]] = (i, n)
                    frontier.append(n.output[0])
        for out, (i, n) in sorted(region.items(), key=lambda item: item[1][0]):
            used: set[int] = set()
            tree = self._tree(out, region, used)
            slots: dict[str, float] = {}
            if index not in used or not _matches(_GELU, tree, slots):
                continue
            for key, value in slots.items():
                if np.float32(value) != _GELU_CONSTANTS[key]:
                    raise ValueError(f"{_label(n, i)}: the GELU formula's constant {key} is {value!r}, not the "
                                     f"runtime's {_GELU_CONSTANTS[key]!r}")
            inner = {name for j in used for name in self.node_at[j].output} - {out}
            leaks = [name for name in inner if name == self.output_name or any(
                j not in used for j, _ in self.consumers.get(name, []))]
            if leaks:
                raise ValueError(f"{_label(n, i)}: the GELU formula's intermediate value {leaks[0]!r} "
                                 "is used outside it")
            self.layers.append(Layer("gelu", name=n.name or f"#{i}"))
            self.current = out
            return used
        erf = next(((i, n) for i, n in region.values() if n.op_type == "Erf"), None)
        if erf is not None:
            raise ValueError(f"{_label(erf[1], erf[0])}: the erf GELU has no exact mapping; "
                             "export GELU(approximate='tanh')")
        raise ValueError(f"{label}: not supported, nor part of the tanh GELU formula "
                         f"0.5 * x * (1 + tanh(0.7978846 * (x + 0.044715 * x^3))); the converter maps {_SUPPORTED}")

    def _tree(self, name: str, region: dict, used: set[int]):
        """The expression that computes `name` from the chain's value: products and sums flattened."""
        if name == self.current:
            return ("x",)
        if name in self.constants:
            value = self.constants[name]
            return ("c", float(value.reshape(-1)[0])) if value.size == 1 and value.dtype.kind in "fi" else ("?",)
        if name not in region:
            return ("?",)
        i, n = region[name]
        used.add(i)
        args = [self._tree(a, region, used) for a in n.input]
        op = n.op_type
        if op == "Tanh":
            return ("tanh", args[0])
        if op == "Pow" and args[1][0] == "c" and args[1][1] in (1.0, 2.0, 3.0):
            return _flat("mul", [args[0]] * int(args[1][1]))
        if op == "Div" and args[1][0] == "c" and args[1][1] != 0:
            return _flat("mul", [args[0], ("c", 1.0 / args[1][1])])
        if op in ("Mul", "Add"):
            return _flat(op.lower(), args)
        return ("?",)


def _flat(op: str, args: list) -> tuple:
    children = []
    for a in args:
        children.extend(a[1:] if a[0] == op else [a])
    return (op, *children) if len(children) > 1 else children[0]


def _matches(pattern, tree, slots: dict) -> bool:
    """Whether `tree` has the shape of `pattern`; the constants it meets are recorded in `slots`."""
    if pattern == "x":
        return tree == ("x",)
    if pattern[0] == "const":
        if tree[0] != "c":
            return False
        slots[pattern[1]] = tree[1]
        return True
    if tree[0] != pattern[0] or len(tree) != len(pattern):
        return False
    for order in itertools.permutations(tree[1:]):
        trial = dict(slots)
        if all(_matches(p, t, trial) for p, t in zip(pattern[1:], order)):
            slots.update(trial)
            return True
    return False


def _shape(dims) -> str:
    return "[" + ", ".join("?" if d is None else str(d) for d in dims) + "]"
