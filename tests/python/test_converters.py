"""The three converters: real models with random weights and odd sizes agree with their framework,
and every layer without an exact mapping is refused by name."""

import os
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


def custom_net(torch):
    """The usual hand-written module: layers called in order, BatchNorm, functional activations, len(x)."""
    nn, F = torch.nn, torch.nn.functional

    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.fc1, self.bn = nn.Linear(8, 12), nn.BatchNorm1d(12)
            self.fc2, self.out = nn.Linear(12, 6), nn.Linear(6, 3)
            self.bn.running_mean.uniform_(-1, 1), self.bn.running_var.uniform_(0.5, 2), self.bn.bias.data.uniform_()

        def forward(self, x):
            x = F.relu(self.bn(self.fc1(x.view(x.size(0), -1)))).reshape(len(x), -1)
            return torch.softmax(self.out(F.gelu(self.fc2(x), approximate="tanh")), dim=-1)

    return Net()


def torch_nets(torch):
    nn = torch.nn
    return {
        "image": (
            nn.Sequential(nn.Flatten(), nn.Linear(784, 10), nn.BatchNorm1d(10), nn.ReLU(), nn.Linear(10, 4)),
            (1, 28, 28),
        ),
        "mlp": (nn.Sequential(nn.Linear(13, 17), nn.ReLU(), nn.Linear(17, 5, bias=False), nn.Softmax(dim=1)), (13,)),
        "nested": (
            nn.Sequential(
                nn.Flatten(),
                nn.Sequential(nn.Linear(12, 9), nn.GELU(approximate="tanh")),
                nn.Dropout(0.5),
                nn.Identity(),
                nn.Linear(9, 3),
                nn.Softmax(dim=-1),
            ),
            (3, 4),
        ),
        "gelu first": (nn.Sequential(nn.GELU(approximate="tanh"), nn.Linear(7, 1)), (7,)),
        "float64": (nn.Sequential(nn.Linear(6, 4), nn.ReLU(), nn.Linear(4, 2)).double(), (6,)),
        "compiled": (torch.compile(nn.Sequential(nn.Linear(6, 5), nn.Softmax()), backend="eager"), (6,)),
    }


@pytest.mark.parametrize("case", ["mlp", "nested", "gelu first", "float64", "custom", "image", "compiled"])
@pytest.mark.filterwarnings("ignore:Implicit dimension choice for softmax")
def test_torch_models_agree(tmp_path, case):
    torch = pytest.importorskip("torch")
    torch.manual_seed(3)
    net, item = (custom_net(torch), (2, 4)) if case == "custom" else torch_nets(torch)[case]
    net.eval()
    x = torch.randn((11,) + item, dtype=next(net.parameters()).dtype)
    qen.from_torch(net, tmp_path / "m.qen", example_input=x if case != "mlp" else None)
    with torch.no_grad():
        agree(tmp_path / "m.qen", x.numpy(), net(x).numpy())
    session = qen.load(tmp_path / "m.qen")
    assert session.metadata["producer"] == "qen.from_torch"
    if len(item) > 1:  # the flattened input keeps its shape: images go in as they are
        assert session.get_inputs()[0].shape == (None, *item)
        with torch.no_grad():
            np.testing.assert_allclose(session(x.float().numpy()), net(x).numpy(), rtol=1e-5, atol=1e-6)
        with pytest.raises(ValueError, match="or its flat form"):
            session(np.zeros((2,) + item[::-1], np.float32))


@pytest.mark.parametrize(
    "layer, message",
    [
        ("GELU()", "layer 1 (GELU): approximate='none'"),
        ("Softmax(dim=0)", "layer 1 (Softmax): dim=0"),
        ("Tanh()", "layer 1 (Tanh): not supported"),
        ("Dropout(0.2).train()", "layer 1 (Dropout): in training mode"),
        ("Flatten(0)", "layer 1 (Flatten): start_dim=0"),
        ("Sequential(Linear(3, 3), LayerNorm(3))", "layer 1.1 (LayerNorm): not supported"),
        ("Linear(4, 2)", "layer 1 (Linear): takes 4 features, its input has 3"),
        ("Linear(3, 3).half()", "layer 1 (Linear): weight dtype torch.float16"),
        ("BatchNorm1d(3).train()", "layer 1 (BatchNorm1d): normalises by the batch's own statistics"),
        ("torch.jit.script(Linear(3, 3))", "layer 1 (RecursiveScriptModule): a TorchScript module"),
        ("Residual()", "function add (add): does not read the chain's value"),
        ("Branching()", "module Sequential: its forward does not trace (symbolically traced variables"),
        ("Direct()", "layer 1 (Direct): `self.w` is used directly; wrap it in nn.Linear, or export to ONNX"),
    ],
)
def test_torch_refusals(tmp_path, layer, message):
    torch = pytest.importorskip("torch")

    class Residual(torch.nn.Module):
        def forward(self, x):
            return x + torch.relu(x)

    class Branching(torch.nn.Module):
        def forward(self, x):
            return torch.relu(x) if x.sum() > 0 else x

    class Direct(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.w = torch.nn.Parameter(torch.ones(3, 3))

        def forward(self, x):
            return torch.nn.functional.linear(x, self.w)

    names = {**vars(torch.nn), "torch": torch, "Residual": Residual, "Branching": Branching, "Direct": Direct}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # torch.jit.script is deprecated
        net = torch.nn.Sequential(torch.nn.Linear(5, 3), eval(layer, names)).eval()
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
    # The untrained BatchNorm and the zero bias repeat constants, which the legacy exporter aliases with Identity.
    net = nn.Sequential(
        nn.Flatten(),
        nn.Linear(10, 9),
        nn.BatchNorm1d(9),
        nn.GELU(approximate="tanh"),
        nn.Linear(9, 6, bias=False),
        nn.ReLU(),
        nn.Linear(6, 4),
        nn.Softmax(dim=-1),
    ).eval()
    x = torch.randn(3, 2, 5)
    batch = {"dynamic_shapes": ({0: torch.export.Dim("batch")},)} if dynamo else {"dynamic_axes": {"x": {0: "b"}}}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        torch.onnx.export(
            net, (x,), tmp_path / "m.onnx", dynamo=dynamo, opset_version=opset, input_names=["x"], **batch
        )
    qen.from_onnx(str(tmp_path / "m.onnx"), tmp_path / "m.qen")
    with torch.no_grad():
        agree(tmp_path / "m.qen", x.numpy(), net(x).numpy())
    assert qen.load(tmp_path / "m.qen").get_inputs()[0].shape == (None, 2, 5)


def onnx_chain(onnx, nodes, initializers, shape=("batch", 4)):
    h = onnx.helper
    graph = h.make_graph(
        nodes,
        "chain",
        [h.make_tensor_value_info("x", onnx.TensorProto.FLOAT, list(shape))],
        [h.make_tensor_value_info("y", onnx.TensorProto.FLOAT, None)],
        [onnx.numpy_helper.from_array(_array(v), k) for k, v in initializers.items()],
    )
    return h.make_model(graph, opset_imports=[h.make_opsetid("", 20)])


def _array(value):
    value = np.asarray(value)
    return value.astype(np.float32) if value.dtype in (np.float64, np.float32) else value


@pytest.mark.parametrize(
    "bias_first, shape, half", [(False, ("batch", 4), False), (True, (1, 2, 2), False), (False, ("batch", 4), True)]
)
def test_onnx_matmul_add_with_external_weights(tmp_path, bias_first, shape, half):
    onnx = pytest.importorskip("onnx")
    h, rng = onnx.helper, np.random.default_rng(7)
    w, b, w2 = rng.standard_normal((4, 3)), rng.standard_normal(3), rng.standard_normal((3, 2))
    front = [h.make_node("Reshape", ["x", "to2d"], ["flat"], name="flat")] if len(shape) == 3 else []
    # float16 weights cast to float, and a Dropout in inference mode, as exporters write them
    nodes = front + [
        h.make_node("Cast", ["w16"], ["w"], to=1),
        h.make_node("MatMul", ["flat" if front else "x", "w"], ["xw"], name="mm"),
        h.make_node("Add", ["b", "xw"] if bias_first else ["xw", "b"], ["z"], name="bias"),
        h.make_node("Relu", ["z"], ["r0"], name="relu"),
        h.make_node("Dropout", ["r0", "", "no"], ["r"]) if half else h.make_node("Identity", ["r0"], ["r"]),
        h.make_node("MatMul", ["r", "w2"], ["y"]),
    ]
    w = w.astype(np.float16 if half else np.float32)
    model = onnx_chain(
        onnx, nodes, {"w16": w, "no": False, "b": b, "w2": w2, **({"to2d": [0, 4]} if front else {})}, shape
    )
    onnx.save(model, tmp_path / "m.onnx", save_as_external_data=True, size_threshold=0, location="m.data")
    qen.from_onnx(tmp_path / "m.onnx", tmp_path / "m.qen")
    x = rng.standard_normal((5, 4)).astype(np.float32)
    agree(tmp_path / "m.qen", x, np.maximum(x @ w.astype(np.float32) + b.astype(np.float32), 0) @ w2.astype(np.float32))
    with pytest.raises(ValueError, match="external file"):
        qen.from_onnx(onnx.load(tmp_path / "m.onnx", load_external_data=False), tmp_path / "n.qen")


def hostile_link(folder):
    (folder.parent / "secret").write_bytes(bytes(64))
    os.symlink(folder.parent / "secret", folder / "link")
    return {"location": "link"}


# Where a weight's external data claims to be, and what from_onnx says of it.
EXTERNAL = {
    "a link out of the folder": (hostile_link, "leaves the model's folder"),
    "a parent folder": (lambda f: {"location": "../m.data"}, "leaves the model's folder"),
    "an absolute path": (lambda f: {"location": str(f / "m.data")}, "not a path relative"),
    "a FIFO": (lambda f: os.mkfifo(f / "fifo") or {"location": "fifo"}, "not a regular file"),
    "past the end": (lambda f: {"location": "m.data", "offset": "40", "length": "48"}, "past the end of its 64"),
}


@pytest.mark.parametrize("case", EXTERNAL)
def test_onnx_external_data_stays_inside_the_models_folder(tmp_path, case):
    onnx = pytest.importorskip("onnx")
    folder, (place, message) = tmp_path / "model", EXTERNAL[case]
    folder.mkdir()
    model = onnx_chain(onnx, [onnx.helper.make_node("MatMul", ["x", "w"], ["y"])], {"w": np.ones((4, 4))}, (None, 4))
    (folder / "m.data").write_bytes(bytes(64))
    weight = model.graph.initializer[0]
    weight.ClearField("raw_data")
    weight.data_location = onnx.TensorProto.EXTERNAL
    for key, value in place(folder).items():
        weight.external_data.add(key=key, value=value)
    onnx.save(model, folder / "m.onnx")
    with pytest.raises(ValueError, match=message):
        qen.from_onnx(folder / "m.onnx", tmp_path / "m.qen")


def gelu_nodes(h, beta):
    """The tanh GELU written out as the TorchScript exporter writes it."""
    return [
        h.make_node("Mul", ["x", "x"], ["x2"], name="cube"),
        h.make_node("Mul", ["x", "x2"], ["x3"]),
        h.make_node("Mul", ["kappa", "x3"], ["k"]),
        h.make_node("Add", ["x", "k"], ["s"]),
        h.make_node("Mul", ["beta", "s"], ["t"]),
        h.make_node("Tanh", ["t"], ["th"]),
        h.make_node("Add", ["one", "th"], ["p"]),
        h.make_node("Mul", ["x", "p"], ["q"]),
        h.make_node("Mul", ["half", "q"], ["y"]),
    ], {"kappa": 0.044715, "beta": beta, "one": 1.0, "half": 0.5}


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda h: ([h.make_node("Sigmoid", ["x"], ["y"], name="sig")], {}), "node sig (Sigmoid): not supported"),
        (
            lambda h: ([h.make_node("Gemm", ["x", "w"], ["y"], name="g", alpha=2.0)], {"w": np.ones((4, 2))}),
            "node g (Gemm): alpha=2.0",
        ),
        (lambda h: ([h.make_node("Softmax", ["x"], ["y"], name="sm", axis=0)], {}), "node sm (Softmax): axis=0"),
        (lambda h: ([h.make_node("Gelu", ["x"], ["y"], name="ge")], {}), "node ge (Gelu): approximate='none'"),
        (
            lambda h: ([h.make_node("MatMul", ["w", "x"], ["y"], name="wx")], {"w": np.ones((4, 4))}),
            "node wx (MatMul): the weight comes first",
        ),
        (
            lambda h: (
                [
                    h.make_node("Div", ["x", "r2"], ["d"], name="div"),
                    h.make_node("Erf", ["d"], ["e"], name="erf"),
                    h.make_node("Add", ["e", "one"], ["p"]),
                    h.make_node("Mul", ["x", "p"], ["q"]),
                    h.make_node("Mul", ["q", "half"], ["y"]),
                ],
                {"r2": 1.4142135, "one": 1.0, "half": 0.5},
            ),
            "node erf (Erf): the erf GELU has no exact mapping",
        ),
        (lambda h: gelu_nodes(h, 0.7978), "(Mul): the GELU formula's constant sqrt(2/pi) is 0.797"),
        (
            lambda h: ([h.make_node("Relu", ["x"], ["r"], name="a"), h.make_node("Relu", ["x"], ["y"], name="b")], {}),
            "node b (Relu): does not read the chain's value",
        ),
        (lambda h: ([h.make_node("Cast", ["x"], ["y"], name="c", to=7)], {}), "node c (Cast): casts to INT64"),
        (
            lambda h: (
                [h.make_node("BatchNormalization", ["x", "g", "b", "m", "v"], ["y"], name="bn", training_mode=1)],
                dict.fromkeys("gbmv", np.ones(4)),
            ),
            "node bn (BatchNormalization): training mode",
        ),
        (lambda h: ([h.make_node("Mul", ["x", "x"], ["y"], name="sq")], {}), "node sq (Mul): not supported"),
        (
            lambda h: ([h.make_node("Dropout", ["x", "", "t"], ["y"], name="d")], {"t": np.array(True)}),
            "node d (Dropout): in training mode it drops values",
        ),
    ],
)
def test_onnx_refusals(tmp_path, build, message):
    onnx = pytest.importorskip("onnx")
    refused(message, qen.from_onnx, onnx_chain(onnx, *build(onnx.helper)), tmp_path / "m.qen")


def test_onnx_written_out_gelu_agrees(tmp_path):
    onnx = pytest.importorskip("onnx")
    qen.from_onnx(onnx_chain(onnx, *gelu_nodes(onnx.helper, 0.7978845608)), tmp_path / "m.qen")
    x = np.random.default_rng(1).standard_normal((9, 4)).astype(np.float32)
    agree(tmp_path / "m.qen", x, 0.5 * x * (1 + np.tanh(0.7978845608 * (x + 0.044715 * x * x * x))))


def fitted(estimator, y, frame=False):
    x = np.random.default_rng(2).standard_normal((60, 11))
    if frame:
        x = pytest.importorskip("pandas").DataFrame(x, columns=[f"f{i}" for i in range(11)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return estimator.fit(x, y), x


def sklearn_models(case):
    """A fitted model of each kind that scikit-learn users bring, with the rows it was fitted on."""
    nn, pipeline, pre = (pytest.importorskip(f"sklearn.{m}") for m in ("neural_network", "pipeline", "preprocessing"))
    labels = np.array(["cat", "dog", "eel"])[np.arange(60) % (2 if case == "binary" else 3)]
    targets = np.arange(120.0).reshape(60, 2)
    return {
        "multiclass": lambda: fitted(nn.MLPClassifier((7, 5), max_iter=30, random_state=0), labels),
        "binary": lambda: fitted(nn.MLPClassifier((6,), activation="identity", max_iter=30, random_state=0), labels),
        "regressor": lambda: fitted(nn.MLPRegressor(hidden_layer_sizes=(9,), max_iter=30, random_state=0), targets),
        "one target": lambda: fitted(
            nn.MLPRegressor(hidden_layer_sizes=(9,), max_iter=30, random_state=0), targets[:, 0]
        ),
        "standard": lambda: fitted(
            pipeline.make_pipeline(pre.StandardScaler(), nn.MLPClassifier((7,), max_iter=30, random_state=0)),
            labels,
            frame=True,
        ),
        "minmax": lambda: fitted(
            pipeline.make_pipeline(
                pre.MinMaxScaler(), nn.MLPRegressor(hidden_layer_sizes=(9,), max_iter=30, random_state=0)
            ),
            targets[:, 0],
        ),
        "tanh": lambda: fitted(nn.MLPClassifier((7,), activation="tanh", max_iter=30, random_state=0), labels),
        "maxabs": lambda: fitted(
            pipeline.make_pipeline(pre.MaxAbsScaler(), nn.MLPClassifier((7,), max_iter=30, random_state=0)), labels
        ),
    }[case]()


def probabilities_or_predictions(estimator, x):
    return estimator.predict_proba(x) if hasattr(estimator, "predict_proba") else estimator.predict(x)


@pytest.mark.parametrize("case", ["multiclass", "binary", "regressor", "standard", "minmax", "maxabs"])
def test_sklearn_models_agree(tmp_path, case):
    estimator, x = sklearn_models(case)
    qen.from_sklearn(estimator, tmp_path / "m.qen")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a model fitted on a DataFrame warns of an array's missing names
        agree(tmp_path / "m.qen", x, probabilities_or_predictions(estimator, x.astype(np.float32)))
    metadata = qen.load(tmp_path / "m.qen").metadata
    assert metadata.get("classes") == getattr(estimator, "classes_", np.array(None)).tolist()
    assert metadata.get("feature_names") == (None if case != "standard" else [f"f{i}" for i in range(11)])


@pytest.mark.parametrize(
    "case, options",
    [
        ("multiclass", None),
        ("multiclass", {"zipmap": False}),
        ("binary", {"zipmap": False}),
        ("one target", None),
        ("standard", None),
        ("minmax", None),
        ("maxabs", None),
        ("tanh", None),
    ],
)
def test_skl2onnx_models_agree(tmp_path, case, options):
    skl2onnx = pytest.importorskip("skl2onnx")
    estimator, x = sklearn_models(case)
    rows = np.asarray(x)[:1]
    onnx_model = skl2onnx.to_onnx(
        estimator, rows.astype(np.float32 if case == "one target" else np.float64), options=options
    )
    if case == "tanh":  # no mapping: the error names the direct path
        return refused(
            "qen.from_sklearn(estimator, path) converts the estimator directly",
            qen.from_onnx,
            onnx_model,
            tmp_path / "m.qen",
        )
    qen.from_onnx(onnx_model, tmp_path / "m.qen")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        agree(tmp_path / "m.qen", np.asarray(x), probabilities_or_predictions(estimator, x))
    metadata = qen.load(tmp_path / "m.qen").metadata
    assert metadata.get("classes") == getattr(estimator, "classes_", np.array(None)).tolist()
    assert ("left_out" in metadata) == hasattr(estimator, "classes_")


def pipeline_of(nn, step, **settings):
    module, name = step.rsplit(".", 1)
    transformer = getattr(pytest.importorskip(f"sklearn.{module}"), name)(**settings)
    make_pipeline = pytest.importorskip("sklearn.pipeline").make_pipeline
    return fitted(make_pipeline(transformer, nn.MLPRegressor(max_iter=5)), np.arange(60.0))[0]


@pytest.mark.parametrize(
    "make, message",
    [
        (
            lambda nn: fitted(nn.MLPClassifier((4,), activation="tanh", max_iter=5), np.arange(60) % 3)[0],
            "activation='tanh' has no exact mapping",
        ),
        (lambda nn: fitted(nn.MLPRegressor(loss="poisson", max_iter=5), np.arange(60.0))[0], "out_activation_='exp'"),
        (lambda nn: fitted(nn.MLPClassifier((4,), max_iter=5), np.eye(3)[np.arange(60) % 3])[0], "multi-label"),
        (lambda nn: nn.MLPClassifier(), "not fitted"),
        (lambda nn: nn.BernoulliRBM(), "estimator BernoulliRBM: not supported"),
        (lambda nn: pipeline_of(nn, "decomposition.PCA"), "Pipeline step 'pca' (PCA): not supported"),
        (lambda nn: pipeline_of(nn, "preprocessing.MinMaxScaler", clip=True), "clip=True bounds the values"),
    ],
)
def test_sklearn_refusals(tmp_path, make, message):
    nn = pytest.importorskip("sklearn.neural_network")
    refused(message, qen.from_sklearn, make(nn), tmp_path / "m.qen")


def test_disagreement_keeps_the_old_file(tmp_path):
    target = tmp_path / "m.qen"
    target.write_bytes(b"old")
    with pytest.raises(ValueError, match="disagrees with the source"):
        write_checked(
            target,
            [qen.Layer("relu")],
            {},
            probe=np.ones((2, 3), np.float32),
            converter="test",
            producer_version="0",
            source=lambda x: x + 1e-3,
        )
    assert target.read_bytes() == b"old" and [p.name for p in tmp_path.iterdir()] == ["m.qen"]
    with pytest.raises(ImportError, match=r"pip install qen-runtime\[onnx\]"):
        import_framework("qen_no_such_module", "onnx", "qen.from_onnx")
