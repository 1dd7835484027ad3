"""The three converters: real models with random weights and odd sizes agree with their framework,
and every layer without an exact mapping is refused by name."""

import warnings

import numpy as np
import pytest

import qen
from qen.converters.conversion import import_framework, write_checked


def refused(message, convert, *args):
    with pytest.raises(ValueError) as error:
        convert(*args)
    assert message in str(error.value)


def agree(path, x, expected):
    got = qen.load(path)(np.ascontiguousarray(x, np.float32).reshape(len(x), -1))
    np.testing.assert_allclose(got, np.asarray(expected).reshape(got.shape), rtol=1e-5, atol=1e-6)


def torch_nets(nn):
    return {
        "mlp": (nn.Sequential(nn.Linear(13, 17), nn.ReLU(), nn.Linear(17, 5, bias=False), nn.Softmax(dim=1)), (13,)),
        "nested": (nn.Sequential(nn.Flatten(), nn.Sequential(nn.Linear(12, 9), nn.GELU(approximate="tanh")),
                                 nn.Dropout(0.5), nn.Identity(), nn.Linear(9, 3), nn.Softmax(dim=-1)), (3, 4)),
        "gelu first": (nn.Sequential(nn.GELU(approximate="tanh"), nn.Linear(7, 1)), (7,)),
        "float64": (nn.Sequential(nn.Linear(6, 4), nn.ReLU(), nn.Linear(4, 2)).double(), (6,)),
    }


@pytest.mark.parametrize("case", ["mlp", "nested", "gelu first", "float64"])
def test_torch_models_agree(tmp_path, case):
    torch = pytest.importorskip("torch")
    torch.manual_seed(3)
    net, item = torch_nets(torch.nn)[case]
    net.eval()
    x = torch.randn((11,) + item, dtype=next(net.parameters()).dtype)
    qen.from_torch(net, tmp_path / "m.qen", example_input=x if case != "mlp" else None)
    with torch.no_grad():
        agree(tmp_path / "m.qen", x.numpy(), net(x).numpy())
    assert qen.load(tmp_path / "m.qen").metadata["producer"] == "qen.from_torch"


@pytest.mark.parametrize("layer, message", [
    ("GELU()", "layer 1 (GELU): approximate='none'"),
    ("Softmax(dim=0)", "layer 1 (Softmax): dim=0"),
    ("Tanh()", "layer 1 (Tanh): not supported"),
    ("Dropout(0.2).train()", "layer 1 (Dropout): in training mode"),
    ("Flatten(0)", "layer 1 (Flatten): start_dim=0"),
    ("Sequential(Linear(3, 3), LayerNorm(3))", "layer 1.1 (LayerNorm): not supported"),
    ("Linear(4, 2)", "layer 1 (Linear): takes 4 features, its input has 3"),
    ("Linear(3, 3).half()", "layer 1 (Linear): weight dtype torch.float16"),
])
def test_torch_refusals(tmp_path, layer, message):
    torch = pytest.importorskip("torch")
    net = torch.nn.Sequential(torch.nn.Linear(5, 3), eval(layer, vars(torch.nn))).eval()
    if "train" in layer:
        net[1].train()
    refused(message, qen.from_torch, net, tmp_path / "m.qen")
    assert not (tmp_path / "m.qen").exists()


@pytest.mark.parametrize("dynamo, opset", [(False, 17), (False, 20), (True, 18), (True, 20)])
def test_onnx_exports_agree(tmp_path, dynamo, opset):
    torch = pytest.importorskip("torch")
    pytest.importorskip("onnx")
    if dynamo:
        pytest.importorskip("onnxscript")
    nn = torch.nn
    torch.manual_seed(5)
    net = nn.Sequential(nn.Flatten(), nn.Linear(10, 9), nn.GELU(approximate="tanh"), nn.Linear(9, 6, bias=False),
                        nn.ReLU(), nn.Linear(6, 4), nn.Softmax(dim=-1)).eval()
    x = torch.randn(3, 2, 5)
    batch = {"dynamic_shapes": ({0: torch.export.Dim("batch")},)} if dynamo else {"dynamic_axes": {"x": {0: "b"}}}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(net, (x,), tmp_path / "m.onnx", dynamo=dynamo, opset_version=opset, input_names=["x"],
                          **batch)
    qen.from_onnx(str(tmp_path / "m.onnx"), tmp_path / "m.qen")
    with torch.no_grad():
        agree(tmp_path / "m.qen", x.numpy(), net(x).numpy())


def onnx_chain(onnx, nodes, initializers, shape=("batch", 4)):
    h = onnx.helper
    graph = h.make_graph(nodes, "chain", [h.make_tensor_value_info("x", onnx.TensorProto.FLOAT, list(shape))],
                         [h.make_tensor_value_info("y", onnx.TensorProto.FLOAT, None)],
                         [onnx.numpy_helper.from_array(_array(v), k) for k, v in initializers.items()])
    return h.make_model(graph, opset_imports=[h.make_opsetid("", 20)])


def _array(value):
    value = np.asarray(value)
    return value.astype(np.float32) if value.dtype.kind == "f" else value


@pytest.mark.parametrize("bias_first, shape", [(False, ("batch", 4)), (True, (1, 2, 2))])
def test_onnx_matmul_add_with_external_weights(tmp_path, bias_first, shape):
    onnx = pytest.importorskip("onnx")
    h, rng = onnx.helper, np.random.default_rng(7)
    w, b, w2 = rng.standard_normal((4, 3)), rng.standard_normal(3), rng.standard_normal((3, 2))
    front = [h.make_node("Reshape", ["x", "to2d"], ["flat"], name="flat")] if len(shape) == 3 else []
    nodes = front + [h.make_node("MatMul", ["flat" if front else "x", "w"], ["xw"], name="mm"),
                     h.make_node("Add", ["b", "xw"] if bias_first else ["xw", "b"], ["z"], name="bias"),
                     h.make_node("Relu", ["z"], ["r"], name="relu"), h.make_node("MatMul", ["r", "w2"], ["y"])]
    model = onnx_chain(onnx, nodes, {"w": w, "b": b, "w2": w2, **({"to2d": [0, 4]} if front else {})}, shape)
    onnx.save(model, tmp_path / "m.onnx", save_as_external_data=True, size_threshold=0, location="m.data")
    qen.from_onnx(tmp_path / "m.onnx", tmp_path / "m.qen")
    x = rng.standard_normal((5, 4)).astype(np.float32)
    agree(tmp_path / "m.qen", x, np.maximum(x @ w.astype(np.float32) + b.astype(np.float32), 0) @ w2.astype(np.float32))
    with pytest.raises(ValueError, match="external file"):
        qen.from_onnx(onnx.load(tmp_path / "m.onnx", load_external_data=False), tmp_path / "n.qen")


def gelu_nodes(h, beta):
    """The tanh GELU written out as the TorchScript exporter writes it."""
    return [h.make_node("Mul", ["x", "x"], ["x2"], name="cube"), h.make_node("Mul", ["x", "x2"], ["x3"]),
            h.make_node("Mul", ["kappa", "x3"], ["k"]), h.make_node("Add", ["x", "k"], ["s"]),
            h.make_node("Mul", ["beta", "s"], ["t"]), h.make_node("Tanh", ["t"], ["th"]),
            h.make_node("Add", ["one", "th"], ["p"]), h.make_node("Mul", ["x", "p"], ["q"]),
            h.make_node("Mul", ["half", "q"], ["y"])], {"kappa": 0.044715, "beta": beta, "one": 1.0, "half": 0.5}


@pytest.mark.parametrize("build, message", [
    (lambda h: ([h.make_node("Sigmoid", ["x"], ["y"], name="sig")], {}), "node sig (Sigmoid): not supported"),
    (lambda h: ([h.make_node("Gemm", ["x", "w"], ["y"], name="g", alpha=2.0)], {"w": np.ones((4, 2))}),
     "node g (Gemm): alpha=2.0"),
    (lambda h: ([h.make_node("Softmax", ["x"], ["y"], name="sm", axis=0)], {}), "node sm (Softmax): axis=0"),
    (lambda h: ([h.make_node("Gelu", ["x"], ["y"], name="ge")], {}), "node ge (Gelu): approximate='none'"),
    (lambda h: ([h.make_node("MatMul", ["w", "x"], ["y"], name="wx")], {"w": np.ones((4, 4))}),
     "node wx (MatMul): the weight comes first"),
    (lambda h: ([h.make_node("Div", ["x", "r2"], ["d"], name="div"), h.make_node("Erf", ["d"], ["e"], name="erf"),
                 h.make_node("Add", ["e", "one"], ["p"]), h.make_node("Mul", ["x", "p"], ["q"]),
                 h.make_node("Mul", ["q", "half"], ["y"])], {"r2": 1.4142135, "one": 1.0, "half": 0.5}),
     "node erf (Erf): the erf GELU has no exact mapping"),
    (lambda h: gelu_nodes(h, 0.7978), "(Mul): the GELU formula's constant sqrt(2/pi) is 0.797"),
    (lambda h: ([h.make_node("Relu", ["x"], ["r"], name="a"), h.make_node("Relu", ["x"], ["y"], name="b")], {}),
     "node b (Relu): does not read the chain's value"),
])
def test_onnx_refusals(tmp_path, build, message):
    onnx = pytest.importorskip("onnx")
    refused(message, qen.from_onnx, onnx_chain(onnx, *build(onnx.helper)), tmp_path / "m.qen")


def test_onnx_written_out_gelu_agrees(tmp_path):
    onnx = pytest.importorskip("onnx")
    qen.from_onnx(onnx_chain(onnx, *gelu_nodes(onnx.helper, 0.7978845608)), tmp_path / "m.qen")
    x = np.random.default_rng(1).standard_normal((9, 4)).astype(np.float32)
    agree(tmp_path / "m.qen", x, 0.5 * x * (1 + np.tanh(0.7978845608 * (x + 0.044715 * x * x * x))))


def fitted(estimator, y):
    x = np.random.default_rng(2).standard_normal((60, 11))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return estimator.fit(x, y), x


@pytest.mark.parametrize("case", ["multiclass", "binary", "regressor"])
def test_sklearn_models_agree(tmp_path, case):
    nn = pytest.importorskip("sklearn.neural_network")
    labels = np.array(["cat", "dog", "eel"])[np.arange(60) % (2 if case == "binary" else 3)]
    estimator, x = {
        "multiclass": lambda: fitted(nn.MLPClassifier((7, 5), max_iter=30, random_state=0), labels),
        "binary": lambda: fitted(nn.MLPClassifier((6,), activation="identity", max_iter=30, random_state=0), labels),
        "regressor": lambda: fitted(nn.MLPRegressor(hidden_layer_sizes=(9,), max_iter=30, random_state=0),
                                    np.arange(120.0).reshape(60, 2)),
    }[case]()
    qen.from_sklearn(estimator, tmp_path / "m.qen")
    x = x.astype(np.float32)
    agree(tmp_path / "m.qen", x, estimator.predict(x) if case == "regressor" else estimator.predict_proba(x))
    assert qen.load(tmp_path / "m.qen").metadata.get("classes") == (None if case == "regressor" else
                                                                    sorted(set(labels.tolist())))


@pytest.mark.parametrize("make, message", [
    (lambda nn: fitted(nn.MLPClassifier((4,), activation="tanh", max_iter=5), np.arange(60) % 3)[0],
     "activation='tanh' has no exact mapping"),
    (lambda nn: fitted(nn.MLPRegressor(loss="poisson", max_iter=5), np.arange(60.0))[0], "out_activation_='exp'"),
    (lambda nn: fitted(nn.MLPClassifier((4,), max_iter=5), np.eye(3)[np.arange(60) % 3])[0], "multi-label"),
    (lambda nn: nn.MLPClassifier(), "not fitted"),
    (lambda nn: nn.BernoulliRBM(), "estimator BernoulliRBM: not supported"),
])
def test_sklearn_refusals(tmp_path, make, message):
    nn = pytest.importorskip("sklearn.neural_network")
    refused(message, qen.from_sklearn, make(nn), tmp_path / "m.qen")


def test_disagreement_keeps_the_old_file(tmp_path):
    target = tmp_path / "m.qen"
    target.write_bytes(b"old")
    with pytest.raises(ValueError, match="disagrees with the source"):
        write_checked(target, [qen.Layer("relu")], {}, probe=np.ones((2, 3), np.float32), converter="test",
                      producer_version="0", source=lambda x: x + 1e-3)
    assert target.read_bytes() == b"old" and [p.name for p in tmp_path.iterdir()] == ["m.qen"]
    with pytest.raises(ImportError, match=r"pip install qen-runtime\[onnx\]"):
        import_framework("qen_no_such_module", "onnx", "qen.from_onnx")
