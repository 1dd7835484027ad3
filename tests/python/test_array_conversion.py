import gc

import numpy as np
import pytest
from model_builder import Model

import _qen_core as qen


@pytest.fixture
def executor(identity_model):
    executor = qen.GraphExecutor()
    executor.load_model(identity_model)
    return executor


def roundtrip(executor, array):
    (out,) = executor.execute([array])
    return out


@pytest.mark.parametrize(
    "array",
    [
        np.arange(6, dtype=np.float32).reshape(2, 3),
        np.arange(6, dtype=np.int32).reshape(3, 2),
        np.float32(2.5).reshape(()),
        np.zeros((0, 3), np.float32),
        np.arange(24, dtype=np.float32).reshape(2, 3, 4).transpose(2, 0, 1),
        np.arange(10, dtype=np.float32)[::-2],
        np.arange(20, dtype=np.int32).reshape(4, 5)[:, 1:4],
    ],
)
def test_inputs_come_back_as_equal_new_arrays(executor, array):
    out = roundtrip(executor, array)
    assert out.dtype == array.dtype and out.shape == array.shape
    assert out.flags.c_contiguous and out.flags.owndata and out.base is None
    assert np.array_equal(out, array) and not np.shares_memory(out, array)


def test_read_only_and_misaligned_inputs(executor):
    array = np.arange(4, dtype=np.float32)
    array.flags.writeable = False
    assert roundtrip(executor, array).tolist() == [0, 1, 2, 3]
    misaligned = np.frombuffer(b"\0" + np.arange(4, dtype=np.float32).tobytes(), np.float32, 4, 1)
    assert not misaligned.flags.aligned
    assert roundtrip(executor, misaligned).tolist() == [0, 1, 2, 3]


@pytest.mark.parametrize(
    "item",
    [
        np.zeros(3, np.float64),
        np.zeros(3, np.int64),
        np.zeros(3, np.float16),
        np.zeros(3, ">f4"),
        [[1.0, 2.0]],
        3.0,
    ],
)
def test_unsupported_dtypes(executor, item):
    with pytest.raises(RuntimeError, match="^Unsupported dtype$"):
        executor.execute([item])


def test_numpy_errors_propagate(executor):
    with pytest.raises(ValueError):
        executor.execute([[[1.0], [1.0, 2.0]]])


def test_extent_beyond_32_bits_is_refused(executor):
    huge = np.broadcast_to(np.float32(1), (2**32 + 5,))
    with pytest.raises(RuntimeError, match="32 bits"):
        executor.execute([huge])


def test_outputs_are_copies(executor):
    array = np.ones(3, np.float32)
    first = roundtrip(executor, array)
    first[:] = 7
    (again,) = executor.execute([])
    assert again.tolist() == [1, 1, 1] and again is not first


def test_unbound_output_is_none(write_model):
    model = Model()
    model.inputs, model.outputs = [model.placeholder(1)], [model.placeholder(1)]
    executor = qen.GraphExecutor()
    executor.load_model(write_model(model))
    assert executor.execute([np.ones(1, np.float32)]) == [None]


def test_engine_reads_inputs_in_place_and_keeps_them_alive(relu_model):
    engine = qen.Engine()
    engine.load_model(relu_model)
    array = np.array([-1.0, 2.0, 3.0], np.float32)
    assert engine.run([array])[0].tolist() == [0, 2, 3]
    array[0] = 5.0  # the engine borrowed the array: an unbound rerun sees the change
    assert engine.run([])[0].tolist() == [5, 2, 3]
    del array
    gc.collect()
    np.ones(1000, np.float32)  # reuse freed memory if it had been released
    assert engine.run([])[0].tolist() == [5, 2, 3]


def test_strided_inputs_compute_like_their_dense_copies(relu_model):
    engine = qen.Engine()
    engine.load_model(relu_model)
    base = np.random.default_rng(0).standard_normal((6, 8)).astype(np.float32)
    for view in (base.T, base[::2, ::3], base[::-1]):
        (out,) = engine.run([view])
        assert np.array_equal(out, np.maximum(np.ascontiguousarray(view), 0))


def test_large_outputs_are_handed_over_and_stay_independent(write_model):
    """A large node output becomes the array's memory; a later run, and the same tensor
    returned twice, still give arrays that change nothing else."""
    model = Model()
    x = model.placeholder(1)
    y = model.activation(2, x)
    model.inputs, model.outputs = [x], [y, y, x]
    engine = qen.Engine()
    engine.load_model(write_model(model))
    big = np.arange(-5000, 5000, dtype=np.float32)
    first, twin, echoed = engine.run([big])
    assert first.base is not None and first.flags.writeable and first.flags.c_contiguous
    assert twin.base is None and echoed.base is None and not np.shares_memory(echoed, big)
    first[:] = -1
    assert np.array_equal(twin, np.maximum(big, 0))
    second, _, _ = engine.run([big * 2])
    assert first.tolist() == [-1] * big.size and np.array_equal(second, np.maximum(big * 2, 0))
    del engine
    gc.collect()
    assert first.sum() == -big.size
