"""`qen.from_onnx`: an ONNX graph of dense layers to a model file.

The graph must be one chain from its single input (float32 or float64) to
one float output. Mapped:

- `Gemm` (alpha = beta = 1, transA 0, transB 0 or 1), `MatMul` (input
  first, weight second) with or without a following `Add` of the bias in
  either operand order, `Relu`, `Gelu` with approximate="tanh", the tanh
  GELU written out as arithmetic nodes (in any order of its factors and
  terms, with the runtime's constants), `Softmax` over the last axis;
- a binary classifier's probabilities Concat([1 - Sigmoid(z), Sigmoid(z)])
  after a Linear of one output, as the softmax over [0, z];
- affine steps folded into the neighbouring Linear: `BatchNormalization`
  in inference mode, the ai.onnx.ml `Scaler`, and `Mul`/`Add`/`Sub`/`Div` of
  the chain's value and a per-feature constant (a scaler written out);
- no-ops: `Flatten`/`Reshape` that leave [batch, features], `Cast` between
  float types (the file computes in float32; a float64 graph is read in
  float32), `Identity`, `Dropout` in inference mode (no `training_mode`, or
  a constant false), and `Identity` or `Cast` of a constant (an alias, or
  float16 weights cast to float, resolved wherever it is read).

A classifier's label branch (`ArgMax`, `ArrayFeatureExtractor`, `ZipMap`
and their casts and reshapes, as skl2onnx writes them) is left out: the
file's output is the probabilities as a [batch, classes] tensor, and the
metadata says which outputs were left out ("left_out") and lists the
"classes". An input [batch, d1, d2, ...] that the first step flattens stays
declared in that shape. Weights may live in external data files beside the
model.

Refused with a `ValueError` naming the node and its op type: any other op
(`Sigmoid`, `Tanh`, `Erf`, `Conv`, `LayerNormalization`, the other
ai.onnx.ml operators...), settings without an exact counterpart (the erf
GELU, a softmax over another axis, Gemm's alpha or beta), a graph that is
not one chain (a residual, two inputs, two float outputs), casts to
non-float types, and Dropout in training mode. For a graph written by
skl2onnx the error names `qen.from_sklearn` as the direct path.

The source run that the written file is checked against is onnx's own
`onnx.reference.ReferenceEvaluator`, so onnxruntime is not needed.
"""

from __future__ import annotations

import itertools
import math
import os
import stat
from collections import defaultdict
from typing import Any

import numpy as np

from ..writer import Layer
from .conversion import (
    PROBE_ROWS,
    AffineFolding,
    import_framework,
    json_values,
    make_probe,
    require_operations,
    write_checked,
)

__all__ = ["from_onnx"]

_CONVERTER = "qen.from_onnx"
_SUPPORTED = (
    "Gemm, MatMul (+ Add), Relu, Gelu(approximate='tanh'), the tanh GELU formula, Softmax, a binary "
    "classifier's Concat([1 - Sigmoid, Sigmoid]), BatchNormalization (eval), Scaler and per-feature "
    "Mul/Add/Sub/Div by a constant (folded into a Linear), Flatten, Reshape, Cast between float types, "
    "Dropout (inference) and Identity"
)
# Nodes that may make up the GELU formula written out; Erf is here so that
# the erf form is named when it is refused.
_MAPPED = {
    "Identity",
    "Cast",
    "Dropout",
    "Flatten",
    "Reshape",
    "Gemm",
    "MatMul",
    "Relu",
    "Gelu",
    "Softmax",
    "BatchNormalization",
    "Scaler",
    "Sigmoid",
}
# What a classifier computes beside its probabilities to give the label; left out.
_LABEL_BRANCH = {"ArgMax", "ArrayFeatureExtractor", "ZipMap", "Cast", "Reshape", "Identity", "Flatten"}
_ARITHMETIC = {"Mul", "Add", "Sub", "Div", "Pow", "Tanh", "Erf"}
_FORMULA_NODES = 32  # the formula takes about ten nodes; the search looks no further than this
# The runtime's GELU, 0.5 * x * (1 + tanh(0.7978846 * (x + 0.044715 * x^3))), as a
# tree of flattened products and sums whose factors and terms may come in any order.
_GELU = (
    "mul",
    ("const", "half"),
    "x",
    (
        "add",
        ("const", "one"),
        ("tanh", ("mul", ("const", "sqrt(2/pi)"), ("add", "x", ("mul", ("const", "0.044715"), "x", "x", "x")))),
    ),
)
_GELU_CONSTANTS = {
    "half": np.float32(0.5),
    "one": np.float32(1.0),
    "sqrt(2/pi)": np.frombuffer(bytes.fromhex("2a424c3f"), "<f4")[0],
    "0.044715": np.frombuffer(bytes.fromhex("1327373d"), "<f4")[0],
}


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
            model = onnx.load(os.fspath(model_or_path), load_external_data=False)
        except OSError:
            raise
        except Exception as error:  # protobuf's DecodeError and onnx's own errors share no base
            raise ValueError(f"{os.fspath(model_or_path)}: not a readable ONNX model ({error})") from error
        _load_external_data(onnx, model, os.path.dirname(os.path.abspath(model_or_path)))
    elif isinstance(model_or_path, onnx.ModelProto):
        model = model_or_path
    else:
        raise TypeError(f"model_or_path must be an onnx.ModelProto or a path, got {type(model_or_path).__name__}")
    try:
        chain = _Chain(onnx, model.graph, _opset(model))
    except ValueError as error:
        if model.producer_name != "skl2onnx":
            raise
        raise ValueError(
            f"{error}. The graph comes from scikit-learn: qen.from_sklearn(estimator, path) "
            "converts the estimator directly"
        ) from error
    require_operations(_CONVERTER, chain.layers)
    item_shape = chain.item_shape  # known exactly when the width is
    if chain.features is None or item_shape is None:
        raise ValueError(
            f"input {chain.input_name!r}: its width is not declared, and the first layer "
            "is not a Linear that would tell it"
        )
    # A graph that fixes its batch runs on chunks of that many rows; the file
    # leaves the batch free, since every operation treats rows independently.
    step = chain.batch or PROBE_ROWS
    probe = make_probe(chain.features, rows=step * max(1, PROBE_ROWS // step))

    reference = _pruned(onnx, model, chain)

    def source(batch: np.ndarray) -> np.ndarray:
        evaluator = import_framework("onnx.reference", "onnx", _CONVERTER).ReferenceEvaluator(reference)
        x = batch.reshape((len(batch), *item_shape)).astype(chain.input_dtype)
        return np.concatenate(
            [evaluator.run([chain.output_name], {chain.input_name: x[i : i + step]})[0] for i in range(0, len(x), step)]
        )

    metadata = dict(chain.metadata)
    if model.producer_name:
        metadata["source"] = f"{model.producer_name} {model.producer_version}".strip()
    write_checked(
        path,
        chain.layers,
        chain.tensors,
        probe=probe,
        source=source,
        converter=_CONVERTER,
        producer_version=onnx.__version__,
        input_name=chain.input_name,
        output_name=chain.file_output_name,
        metadata=metadata,
        item_shape=item_shape,
    )


def _load_external_data(onnx, model, folder: str) -> None:
    """Reads the external data of each initializer and constant into the tensor itself.

    Done here rather than by onnx, whatever its version: a location must be a
    relative path to a regular file inside the model's folder (after links
    are resolved), and its offset and length must lie within that file.
    """
    root = os.path.realpath(folder)
    tensors = list(model.graph.initializer)
    for node in model.graph.node:
        for attribute in node.attribute:
            tensors.extend([attribute.t] if attribute.HasField("t") else attribute.tensors)
    for tensor in tensors:
        if tensor.data_location != onnx.TensorProto.EXTERNAL:
            continue
        info = {entry.key: entry.value for entry in tensor.external_data}
        where = f"initializer {tensor.name!r}: external data {info.get('location', '')!r}"
        location = info.get("location", "")
        if not location or os.path.isabs(location) or os.path.splitdrive(location)[0]:
            raise ValueError(f"{where} is not a path relative to the model's folder")
        resolved = os.path.realpath(os.path.join(root, location))
        if os.path.commonpath([root, resolved]) != root:
            raise ValueError(f"{where} leaves the model's folder")
        try:
            offset, length = int(info.get("offset", 0)), int(info["length"]) if "length" in info else None
        except ValueError:
            raise ValueError(f"{where}: offset or length is not a number") from None
        tensor.raw_data = _external_bytes(resolved, offset, length, where)
        del tensor.external_data[:]
        tensor.data_location = onnx.TensorProto.DEFAULT


def _external_bytes(path: str, offset: int, length: int | None, where: str) -> bytes:
    """`length` bytes (to the end for None) of the regular file at `path` from `offset`, all inside the file."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    except OSError as error:
        raise ValueError(f"{where} cannot be opened: {error.strerror}") from None
    with os.fdopen(fd, "rb") as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise ValueError(f"{where} is not a regular file")
        size = st.st_size
        length = size - offset if length is None else length
        if offset < 0 or length < 0 or offset + length > size:
            raise ValueError(f"{where}: offset {offset} and length {length} lie past the end of its {size} bytes")
        f.seek(offset)
        return f.read(length)


def _pruned(onnx, model, chain):
    """The model computing the chain's output alone: the nodes left out (a label branch) removed."""
    if not chain.left_out_nodes:
        return model
    pruned = onnx.ModelProto()
    pruned.CopyFrom(model)
    del pruned.graph.node[:], pruned.graph.output[:]
    pruned.graph.node.extend(n for i, n in enumerate(model.graph.node) if i not in chain.left_out_nodes)
    pruned.graph.output.append(onnx.helper.make_empty_tensor_value_info(chain.output_name))
    return pruned


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
            if node.op_type == "Constant" and node.domain in ("", "ai.onnx"):
                self.constants[node.output[0]] = self._constant(node, index)
            elif node.op_type == "Identity" and node.domain in ("", "ai.onnx") and node.input[0] in self.constants:
                self.constants[node.output[0]] = self.constants[node.input[0]]  # an alias of a constant
            elif (cast := self._cast_constant(node)) is not None:
                self.constants[node.output[0]] = cast  # float16 weights read as float, as the graph reads them
            else:
                nodes.append((index, node))
        self.metadata: dict[str, object] = {}
        output = self._choose_output(graph, nodes)
        keep = self._cone(output, nodes)
        self.left_out_nodes = {i for i, _ in nodes if i not in keep}
        nodes = [(i, n) for i, n in nodes if i in keep]
        for index, node in nodes:
            if node.domain not in ("", "ai.onnx") and (node.domain, node.op_type) != ("ai.onnx.ml", "Scaler"):
                raise ValueError(
                    f"{_label(node, index)}: operator domain {node.domain!r} is not supported; "
                    f"the converter maps {_SUPPORTED}"
                )
        self.node_at = dict(nodes)
        self.consumers = defaultdict(list)
        for i, n in nodes:
            for name in set(n.input):
                self.consumers[name].append((i, n))
        self.layers: list[Layer] = []
        self.tensors: dict[str, np.ndarray] = {}
        self.folding = AffineFolding(self.layers, self.tensors)
        self._read_signature(graph, output)
        done: set[int] = set()
        for index, node in nodes:
            if index not in done:
                done |= self._step(index, node)
        if self.current != self.output_name:
            raise ValueError(
                f"graph output {self.output_name!r} is not the end of the chain of nodes "
                f"that starts at input {self.input_name!r}"
            )
        self.folding.finish()

    # -- the output kept ----------------------------------------------------------------------

    def _choose_output(self, graph, nodes) -> str:
        """The one float output the chain ends in; a classifier's label outputs are left out.

        A classifier written by skl2onnx has a label output (ArgMax of the
        probabilities, looked up in the classes) beside the probabilities,
        which ZipMap may turn into a list of dicts: the file keeps the
        probabilities as a [batch, classes] tensor.
        """
        producer = {out: (i, n) for i, n in nodes for out in n.output}
        floats = (self.onnx.TensorProto.FLOAT, self.onnx.TensorProto.DOUBLE)
        kept, left_out = [], []
        for value in graph.output:
            made_by = producer.get(value.name, (None, None))[1]
            if made_by is not None and made_by.op_type == "ZipMap":
                kept.append((made_by.input[0], value.name))
                self._classes(made_by)
                self.metadata["probabilities"] = (
                    f"output {value.name!r} is the [batch, classes] tensor of "
                    'probabilities (columns in the order of "classes"), '
                    "not ZipMap's list of dicts"
                )
            elif len(graph.output) == 1 or value.type.tensor_type.elem_type in floats:
                kept.append((value.name, value.name))
            else:
                left_out.append(f"output {value.name!r}: the class label, the argmax of the probabilities")
        if len(kept) != 1:
            raise ValueError(f"the graph has {len(kept)} float outputs (of {len(graph.output)}); a chain has one")
        for _, node in nodes:
            if node.op_type == "ArrayFeatureExtractor" and node.input[0] in self.constants:
                self.metadata["classes"] = json_values(self.constants[node.input[0]])
        if left_out:
            self.metadata["left_out"] = left_out
        self.file_output_name = kept[0][1]  # the value the chain ends in may have another name
        return kept[0][0]

    def _classes(self, zipmap) -> None:
        for attribute in zipmap.attribute:
            if attribute.name in ("classlabels_strings", "classlabels_int64s"):
                self.metadata["classes"] = json_values(self.onnx.helper.get_attribute_value(attribute))

    def _cone(self, output: str, nodes) -> set[int]:
        """The nodes but those of a label branch: ops of `_LABEL_BRANCH` that the output does not depend on."""
        producer = {out: (i, n) for i, n in nodes for out in n.output}
        cone, stack = set(), [output]
        while stack:
            made = producer.get(stack.pop())
            if made is not None and made[0] not in cone:
                cone.add(made[0])
                stack.extend(made[1].input)
        return {i for i, n in nodes if i in cone or n.op_type not in _LABEL_BRANCH}

    # -- values -------------------------------------------------------------------------------

    def _initializer(self, tensor) -> np.ndarray:
        if tensor.data_location == self.onnx.TensorProto.EXTERNAL:
            raise ValueError(
                f"initializer {tensor.name!r}: its data is in an external file; "
                "pass the model's path so that it is loaded from the model's folder"
            )
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

    def _read_signature(self, graph, output: str) -> None:
        inputs = [i for i in graph.input if i.name not in self.constants]
        if len(inputs) != 1:
            raise ValueError(f"the graph has {len(inputs)} inputs; a chain has one")
        (value,) = inputs
        tensor_type = value.type.tensor_type
        floats = (self.onnx.TensorProto.FLOAT, self.onnx.TensorProto.DOUBLE)
        if not value.type.HasField("tensor_type") or tensor_type.elem_type not in floats:
            raise ValueError(f"input {value.name!r}: not a float32 or float64 tensor")
        # A float64 graph runs in float32, as every model file does; the agreement check judges the rounding.
        self.input_dtype = np.float64 if tensor_type.elem_type == self.onnx.TensorProto.DOUBLE else np.float32
        dims = [d.dim_value if d.HasField("dim_value") and d.dim_value > 0 else None for d in tensor_type.shape.dim]
        if len(dims) < 2 or (len(dims) > 2 and None in dims[1:]):
            raise ValueError(
                f"input {value.name!r}: shape {_shape(dims)}; expected [batch, features...] "
                "with only the batch extent unknown"
            )
        self.input_name, self.output_name = value.name, output
        self.batch = dims[0]  # an int when the graph fixes it
        self.dims = dims  # the shape of the chain's current value (None: not known)
        self.features = None if dims[1] is None else math.prod(d or 0 for d in dims[1:])
        self.item_shape = None if dims[1] is None else tuple(d or 0 for d in dims[1:])
        self.current = value.name

    def _cast_constant(self, node) -> np.ndarray | None:
        """The value of a Cast of a constant to a numeric type that numpy holds; None for any other node."""
        if node.op_type != "Cast" or node.domain not in ("", "ai.onnx") or node.input[0] not in self.constants:
            return None
        to = self._attributes(node).get("to", 0)
        names = self.onnx.TensorProto.DataType
        if to not in (names.Value(n) for n in ("FLOAT", "DOUBLE", "FLOAT16", "INT32", "INT64")):
            return None
        return self.constants[node.input[0]].astype(self.onnx.helper.tensor_dtype_to_np_dtype(to))

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
            raise ValueError(
                f"{label}: does not read the chain's value {self.current!r}; "
                "only a single chain from input to output maps"
            )
        op = node.op_type
        if op in _ARITHMETIC:
            return self._gelu_formula(index, node)
        if op not in _MAPPED:
            raise ValueError(f"{label}: not supported; the converter maps {_SUPPORTED}")
        if op == "Dropout":  # its ratio and training_mode may be inputs, its mask a second output
            self._dropout(label, node)
            self.current = node.output[0]
            return {index}
        if live != [self.current] or len(node.output) != 1:
            raise ValueError(f"{label}: reads {len(live)} values and writes {len(node.output)}; expected one of each")
        if op == "Identity":
            pass
        elif op == "Cast":
            self._cast(label, node)
        elif op in ("Flatten", "Reshape"):
            self._reshape(label, node, index)
        elif op == "Gemm":
            self._gemm(label, node, index)
        elif op == "MatMul":
            return self._matmul(label, node, index)
        elif op in ("BatchNormalization", "Scaler"):
            self._affine(label, node, index)
        elif op == "Sigmoid":
            return self._binary_probabilities(label, node, index)
        else:
            self._activation(label, node)
        self.current = node.output[0]
        return {index}

    def _binary_probabilities(self, label: str, node, index: int) -> set[int]:
        """Concat([1 - sigmoid(z), sigmoid(z)]) after a one-output Linear: a binary classifier's
        probabilities, mapped as the softmax over [0, z] (a zero row and bias put before z's)."""
        p = node.output[0]
        users = sorted(self.consumers.get(p, []), key=lambda item: item[1].op_type)
        shape = [n.op_type for _, n in users]
        if shape == ["Concat", "Sub"] and self.folding.after_linear and self.dims[1] == 1:
            (concat_index, concat), (sub_index, sub) = users
            one = self.constants.get(sub.input[0])
            axis = self._attributes(concat).get("axis")
            if (
                list(sub.input[1:]) == [p]
                and one is not None
                and one.size == 1
                and float(one.reshape(-1)[0]) == 1
                and list(concat.input) == [sub.output[0], p]
                and axis in (1, -1)
                and self.consumers.get(sub.output[0]) == [(concat_index, concat)]
            ):
                for tensor in self.layers[-1].parameters:
                    value = self.tensors[tensor]
                    self.tensors[tensor] = np.concatenate([np.zeros_like(value), value])
                self.layers.append(Layer("softmax", name=concat.name or f"#{concat_index}"))
                self.folding.activation()
                self.dims = [self.dims[0], 2]
                self.current = concat.output[0]
                return {index, sub_index, concat_index}
        raise ValueError(
            f"{label}: not supported alone; a Sigmoid maps only as a binary classifier's "
            "Concat([1 - sigmoid(z), sigmoid(z)]) after a Linear of one output"
        )

    def _cast(self, label: str, node) -> None:
        """A Cast between float types: the chain computes in float32 whatever the graph's float type."""
        to = self._attributes(node).get("to")
        if to not in (self.onnx.TensorProto.FLOAT, self.onnx.TensorProto.DOUBLE):
            raise ValueError(
                f"{label}: casts to {self.onnx.TensorProto.DataType.Name(to or 0)}; only a Cast "
                "between float types maps (a no-op in float32)"
            )

    def _dropout(self, label: str, node) -> None:
        """Dropout in inference mode passes its input through; in training mode it drops values."""
        mode = node.input[2] if len(node.input) > 2 else ""
        if mode and (mode not in self.constants or self.constants[mode].any()):
            raise ValueError(
                f"{label}: in training mode it drops values (training_mode {mode!r} is not a constant false); "
                "export the model in eval mode"
            )

    def _affine(self, label: str, node, index: int) -> None:
        """An eval-mode BatchNormalization or an ai.onnx.ml Scaler, folded into the neighbouring Linear."""
        self._require_2d(label)
        attributes = self._attributes(node)
        if node.op_type == "Scaler":  # (x - offset) * scale
            scale = np.asarray(attributes.get("scale", [1.0]), np.float64)
            shift = -np.asarray(attributes.get("offset", [0.0]), np.float64) * scale
        else:
            if len(node.input) != 5:
                raise ValueError(f"{label}: {len(node.input)} inputs; expected x, scale, bias, mean and variance")
            if attributes.get("training_mode", 0) or len(node.output) > 1:
                raise ValueError(
                    f"{label}: training mode normalises by the batch's own statistics; export the model in eval mode"
                )
            gamma, beta, mean, var = (
                self._const(name, node, index, role).astype(np.float64)
                for name, role in zip(node.input[1:5], ("scale", "bias", "mean", "variance"))
            )
            scale = gamma / np.sqrt(var + attributes.get("epsilon", 1e-5))
            shift = beta - mean * scale
        self.folding.affine(label, scale, shift, self.dims[1])

    def _attributes(self, node) -> dict:
        return {a.name: self.onnx.helper.get_attribute_value(a) for a in node.attribute}

    def _require_2d(self, label: str) -> None:
        if len(self.dims) != 2:
            raise ValueError(
                f"{label}: its input has {len(self.dims)} dimensions; the runtime's operations "
                "take [batch, features] (Flatten first)"
            )

    def _reshape(self, label: str, node, index: int) -> None:
        dims = self.dims
        rest = None if None in dims[1:] else math.prod(d or 0 for d in dims[1:])
        if node.op_type == "Flatten":
            axis = self._attributes(node).get("axis", 1)
            fits = axis in (1, 1 - len(dims))
        else:
            target = self._const(node.input[1], node, index, "shape").astype(np.int64).reshape(-1).tolist()
            keep = not self._attributes(node).get("allowzero", 0)
            copied = [
                ("batch" if i == 0 else dims[i]) if v == 0 and keep and i < len(dims) else v
                for i, v in enumerate(target)
            ]
            batch_ok = len(copied) == 2 and (copied[0] == "batch" or (copied[0] == dims[0] is not None))
            fits = len(copied) == 2 and (
                (batch_ok and copied[1] in (-1, rest)) or (copied[0] == -1 and rest is not None and copied[1] == rest)
            )
            if not fits:
                raise ValueError(
                    f"{label}: shape {target} on an input of shape {_shape(dims)} does not give [batch, features]"
                )
        if not fits:
            raise ValueError(
                f"{label}: axis={axis} on an input of shape {_shape(dims)} does not give [batch, features]"
            )
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
            raise ValueError(f"{label}: bias of shape {list(bias.shape)} does not broadcast over the {n} outputs alone")
        for role, array in (("weight", weight), ("bias", bias)):
            if array.dtype not in (np.float32, np.float64):
                raise ValueError(f"{label}: {role} is {array.dtype}, expected float32 or float64")
        bias = np.broadcast_to(bias, (1, n)).reshape(n).astype(np.float32)
        weight, bias = self.folding.linear(label, weight.astype(np.float32), bias)
        if self.features is None:
            self.features, self.item_shape = k, (k,)
        if f"{name}.weight" in self.tensors:
            name = f"{name}#{len(self.layers)}"  # node names need not be unique
        self.tensors[f"{name}.weight"], self.tensors[f"{name}.bias"] = np.ascontiguousarray(weight), bias
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
        self.folding.activation()
        name = node.name or node.op_type
        if node.op_type == "Relu":
            self.layers.append(Layer("relu", name=name))
            return
        attributes = self._attributes(node)
        if node.op_type == "Gelu":
            approximate = attributes.get("approximate", b"none")
            approximate = approximate.decode() if isinstance(approximate, bytes) else approximate
            if approximate != "tanh":
                raise ValueError(
                    f"{label}: approximate={approximate!r} (the erf form) has no exact mapping; "
                    "export GELU(approximate='tanh')"
                )
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
        region: dict[str, tuple[int, Any]] = {}
        frontier = [self.current]
        while frontier and len(region) < _FORMULA_NODES:
            for i, n in self.consumers.get(frontier.pop(0), []):
                if (
                    n.op_type in _ARITHMETIC
                    and len(n.output) == 1
                    and n.output[0] not in region
                    and all(name == self.current or name in region for name in self._live(n))
                ):
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
                    raise ValueError(
                        f"{_label(n, i)}: the GELU formula's constant {key} is {value!r}, not the "
                        f"runtime's {_GELU_CONSTANTS[key]!r}"
                    )
            inner = {name for j in used for name in self.node_at[j].output} - {out}
            leaks = [
                name
                for name in inner
                if name == self.output_name or any(j not in used for j, _ in self.consumers.get(name, []))
            ]
            if leaks:
                raise ValueError(
                    f"{_label(n, i)}: the GELU formula's intermediate value {leaks[0]!r} is used outside it"
                )
            self.layers.append(Layer("gelu", name=n.name or f"#{i}"))
            self.folding.activation()
            self.current = out
            return used
        erf = next(((i, n) for i, n in region.values() if n.op_type == "Erf"), None)
        if erf is not None:
            raise ValueError(
                f"{_label(erf[1], erf[0])}: the erf GELU has no exact mapping; export GELU(approximate='tanh')"
            )
        if self._elementwise_affine(label, node):
            self.current = node.output[0]
            return {index}
        raise ValueError(
            f"{label}: not supported, nor part of the tanh GELU formula "
            f"0.5 * x * (1 + tanh(0.7978846 * (x + 0.044715 * x^3))); the converter maps {_SUPPORTED}"
        )

    def _elementwise_affine(self, label: str, node) -> bool:
        """Mul, Add, Sub or Div of the chain's value and a per-feature constant (a scaler written out),
        folded into the neighbouring Linear; False for any other node."""
        inputs = list(node.input)
        if node.op_type not in ("Mul", "Add", "Sub", "Div") or len(inputs) != 2 or inputs.count(self.current) != 1:
            return False
        other = inputs[1 - inputs.index(self.current)]
        c = self.constants.get(other)
        if c is None or c.dtype.kind != "f" or c.ndim > 2 or (c.ndim == 2 and c.shape[0] != 1):
            return False
        c = c.astype(np.float64).reshape(-1)
        first = inputs[0] == self.current
        options: dict[str, tuple[Any, Any]] = {
            "Mul": (c, 0.0),
            "Add": (1.0, c),
            "Sub": (1.0, -c) if first else (-1.0, c),
            "Div": (1.0 / c, 0.0) if first and np.all(c != 0) else (None, None),
        }
        scale, shift = options[node.op_type]
        if scale is None:
            return False
        self.folding.affine(label, scale, shift, self.dims[1])
        return True

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
    children: list = []
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
