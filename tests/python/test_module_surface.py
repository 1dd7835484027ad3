import ast
import json
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from interpreters import find_python
from model_builder import Model

import _qen_core as qen

STUB = Path(__file__).resolve().parents[2] / "bindings" / "_qen_core.pyi"


def test_module_attributes_in_registration_order():
    public = [name for name in vars(qen) if not name.startswith("__")]
    assert public == ["Device", "DType", "Engine", "GraphExecutor", "ModelLoader"]
    assert qen.__doc__ == "QEN Runtime Python Bindings"


def test_module_refuses_other_interpreters():
    built_for = "{}.{}".format(*sys.version_info[:2])
    others = [
        exe for version in ("3.10", "3.11", "3.12", "3.13") if version != built_for and (exe := find_python(version))
    ]
    if not others:
        pytest.skip("no CPython interpreter of another minor version")
    # Lazy binding lets the module's entry run even where the interpreter lacks
    # a function that the module calls later, as 3.10 lacks 3.11's.
    load = (
        "import importlib.machinery as m, importlib.util as u, json, os, sys\n"
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        "try: u.module_from_spec(u.spec_from_file_location('_qen_core', sys.argv[1],"
        " loader=m.ExtensionFileLoader('_qen_core', sys.argv[1])))\n"
        "except ImportError as e: print(json.dumps([sys.version, str(e)]))"
    )
    for exe in others:
        out = subprocess.run([exe, "-c", load, qen.__file__], capture_output=True, text=True, check=True).stdout
        version, message = json.loads(out)
        assert message == (
            "Python version mismatch: module was compiled for Python "
            f"{built_for}, but the interpreter version is incompatible: {version}."
        ), exe


def test_import_does_not_import_numpy():
    code = "import sys, _qen_core; print('numpy' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "False\n"


@pytest.mark.parametrize(
    "enum, members",
    [
        (qen.Device, {"CPU": 0, "CUDA": 1}),
        (qen.DType, {"FP32": 0, "FP16": 1, "INT8": 2, "INT32": 3}),
    ],
)
def test_enumerations(enum, members):
    assert {name: int(m) for name, m in enum.__members__.items()} == members
    for name, value in members.items():
        member = getattr(enum, name)
        assert (member.name, member.value) == (name, value)
        assert enum(value) == member and hash(enum(value)) == hash(member)
        assert member != value  # never equal to a plain integer
        assert repr(member) == f"<{enum.__name__}.{name}: {value}>"
        assert str(member) == f"{enum.__name__}.{name}"
        assert pickle.loads(pickle.dumps(member)) == member
        assert list(range(10))[member] == value
    assert not hasattr(qen, "CPU") and not hasattr(qen, "FP32")


@pytest.mark.parametrize("cls", [qen.Engine, qen.GraphExecutor])
def test_device_argument(cls):
    cls()
    cls(qen.Device.CPU)
    cls(device=qen.Device.CPU)
    cls(qen.Device(0))
    with pytest.raises(TypeError):
        cls(0)


def test_cuda_devices():
    with pytest.raises(RuntimeError, match="^CUDA support not compiled$"):
        qen.Engine(qen.Device.CUDA)
    qen.GraphExecutor(qen.Device.CUDA)


@pytest.mark.parametrize(
    "make",
    [
        lambda path: qen.Engine().load_model(path),
        lambda path: qen.GraphExecutor().load_model(path),
        lambda path: qen.ModelLoader(path).get_metadata(),
    ],
)
def test_paths_are_str_bytes_or_path_like_and_positional(make, identity_model):
    make(identity_model)
    make(identity_model.encode())
    make(bytearray(identity_model.encode()))
    make(Path(identity_model))

    class NotAPath:
        def __fspath__(self):
            return 3

    for not_a_path in (NotAPath(), 3, None):
        with pytest.raises(TypeError):
            make(not_a_path)
    with pytest.raises(TypeError):
        qen.ModelLoader(path=identity_model)
    with pytest.raises(TypeError):
        qen.Engine().load_model(path=identity_model)


@pytest.mark.parametrize("cls, method", [(qen.Engine, "run"), (qen.GraphExecutor, "execute")])
def test_inputs_must_be_a_list(cls, method, identity_model):
    obj = cls()
    with pytest.raises(RuntimeError, match="^No model loaded$"):
        getattr(obj, method)([])
    obj.load_model(identity_model)
    with pytest.raises(TypeError):
        getattr(obj, method)((np.zeros(1, np.float32),))

    class Inputs(list):
        pass

    (out,) = getattr(obj, method)(Inputs([np.ones(2, np.float32)]))
    assert out.tolist() == [1.0, 1.0]


@pytest.mark.parametrize(
    "bad_id, exception, message",
    [
        (99, IndexError, "^Invalid tensor ID$"),
        (0, RuntimeError, "^Cannot load placeholder tensor - it has no data$"),
    ],
)
def test_core_exceptions_are_translated(write_model, bad_id, exception, message):
    model = Model()
    x = model.placeholder(1)
    model.node(2, bad_id, 5)
    model.inputs, model.outputs = [x], [5]
    engine = qen.Engine()
    engine.load_model(write_model(model))
    with pytest.raises(exception, match=message):
        engine.run([])


def test_memory_error_and_integers(identity_model):
    executor = qen.GraphExecutor(qen.Device.CUDA)
    with pytest.raises(MemoryError):
        executor.load_model(identity_model)
    assert executor.peak_memory() == 0 and type(executor.peak_memory()) is int
    assert qen.Engine().peak_memory_usage() == 0 and type(qen.Engine().peak_memory_usage()) is int


def test_metadata_is_strict_utf8(write_model):
    assert qen.ModelLoader(write_model(Model(metadata="π\0x".encode()))).get_metadata() == "π\0x"
    assert qen.ModelLoader(write_model(Model())).get_metadata() == "{}"
    with pytest.raises(UnicodeDecodeError):
        qen.ModelLoader(write_model(Model(metadata=b"\xff\xfe"))).get_metadata()


def test_instances_have_no_attribute_dictionary(identity_model):
    for obj in (qen.Engine(), qen.GraphExecutor(), qen.ModelLoader(identity_model)):
        with pytest.raises(AttributeError):
            obj.anything = 1


def test_stub_matches_module():
    tree = ast.parse(STUB.read_text())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    enum_methods = {item.name for item in classes.pop("_Enum").body if isinstance(item, ast.FunctionDef)}
    stubbed = {
        name: {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        | (enum_methods if node.bases else set())
        for name, node in classes.items()
    }
    assert set(stubbed) == {"Device", "DType", "Engine", "GraphExecutor", "ModelLoader"}
    for name, methods in stubbed.items():
        cls = getattr(qen, name)
        assert all(hasattr(cls, method) for method in methods), name
        bound = {m for m in vars(cls) if not m.startswith("_") and callable(getattr(cls, m))}
        assert bound <= methods | set(getattr(cls, "__members__", {})), name
