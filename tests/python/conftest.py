import pytest
from model_builder import Model


@pytest.fixture
def write_model(tmp_path):
    """Saves a Model (or raw bytes) under tmp_path and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(model):
        path = tmp_path / f"model{next(counter)}.qen"
        path.write_bytes(model if isinstance(model, bytes) else model.to_bytes())
        return str(path)

    return write


@pytest.fixture
def identity_model(write_model):
    """A graph with no nodes whose output is its input: execute hands the bound tensor back."""
    model = Model()
    x = model.placeholder(1)
    model.inputs, model.outputs = [x], [x]
    return write_model(model)


@pytest.fixture
def relu_model(write_model):
    model = Model()
    x = model.placeholder(1)
    model.inputs, model.outputs = [x], [model.activation(2, x)]
    return write_model(model)
