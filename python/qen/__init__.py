"""QEN: a lean, exact inference runtime for small feed-forward networks.

    session = qen.load("model.qen")
    (probabilities,) = session.run(None, {"input": batch})

Importing `qen` imports numpy and the `_qen_core` extension only; the
converters import their framework (torch, onnx, scikit-learn) when called.
"""

from __future__ import annotations

import importlib

__version__ = "0.2.1"

from . import format, probe  # noqa: A004 (qen.format is the file layout)
from .receipt import ReplayReport, load_receipt, replay, save_receipt
from .session import Session, TensorInfo, load
from .writer import Layer, ModelWriter, write_sequential

__all__ = [
    "__version__",
    "Layer",
    "ModelWriter",
    "ReplayReport",
    "Session",
    "TensorInfo",
    "format",
    "from_onnx",
    "from_sklearn",
    "from_torch",
    "load",
    "load_receipt",
    "probe",
    "replay",
    "save_receipt",
    "write_sequential",
]

# Converter name -> the module that defines it, imported on first use.
_CONVERTERS = {
    "from_torch": ".converters.from_torch",
    "from_onnx": ".converters.from_onnx",
    "from_sklearn": ".converters.from_sklearn",
}


def __getattr__(name: str):
    if name in _CONVERTERS:
        function = getattr(importlib.import_module(_CONVERTERS[name], __name__), name)
        globals()[name] = function
        return function
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
