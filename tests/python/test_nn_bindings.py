"""The nn submodule's surface: argument conversion, array conversion both ways and the
refusals of the binding layer."""
import numpy as np
import pytest

from morla import core

nn = core.nn
P = core.Padding

NAMES = ["lshift", "shift", "shift_out", "matmul", "add", "concatenate", "scale_out", "conv2d",
         "input_conv2d", "conv2d_transpose", "dequantize", "depthwise_conv2d", "relu_activation",
         "look_up", "global_average_pooling", "max_pooling", "fifo_op", "depth_conv_like_op",
         "stateful_main_op", "subsampling_op", "motepostprocessing_op"]


def test_submodule_holds_the_21_functions_in_order():
    assert nn.__doc__ == ("Morla Neural Network software internal functions. These are meant for "
                          "testing, debugging and validation only.")
    assert [name for name in vars(nn) if not name.startswith("__")] == NAMES
    assert nn.conv2d.__doc__.startswith("conv2d(arg0: ")


W = np.ones((3, 3, 2, 1), np.int8)


def test_empty_dimension_zero_dimensional_and_keyword_arguments():
    with pytest.raises(RuntimeError) as error:
        nn.conv2d(np.zeros((3, 0, 2)), W, 1, P.Same, 8)
    assert str(error.value) == "Cannot have a shape with dimension 1 set to 0"
    with pytest.raises(RuntimeError, match="^Cannot have a shape with dimension 0 set to 0$"):
        nn.look_up(np.zeros((0, 0)), [1])
    with pytest.raises(ValueError) as error:
        nn.conv2d(np.int32(4), W, 1, P.Same, 8)
    assert str(error.value) == "Cannot instantiate a Dense with 0 dimensions (min 1, max 4).\n"
    with pytest.raises(ValueError) as error:
        nn.add(np.zeros((1,) * 5), [1], 8)
    assert str(error.value) == "Cannot instantiate a Dense with 5 dimensions (min 1, max 4).\n"
    with pytest.raises(ValueError, match="Cannot instantiate a Dense with 0 dimensions"):
        nn.relu_activation(7, [1])
    with pytest.raises(TypeError):
        nn.add(a=np.ones((1, 1, 1)), b=[1], bits=8)
    assert nn.add(np.ones((1, 1, 1)), [1], 8)[0, 0, 0] == 2


def test_dimension_beyond_32_bits_is_refused():
    huge = np.empty((2**32, 0), np.int32)
    with pytest.raises(ValueError, match="Dimension 0 of the source array is 4294967296"):
        nn.look_up([1, 2], huge)


@pytest.mark.parametrize("call", [
    lambda: nn.conv2d(np.ones((3, 3, 2)), W, 256, P.Same, 8),
    lambda: nn.conv2d(np.ones((3, 3, 2)), W, -1, P.Same, 8),
    lambda: nn.conv2d(np.ones((3, 3, 2)), W, 1.0, P.Same, 8),
    lambda: nn.conv2d(np.ones((3, 3, 2)), W, 1, 1, 8),
    lambda: nn.max_pooling(np.ones((4, 4, 1)), 2, 2, 200, 2, P.Same, 8),
    lambda: nn.max_pooling(np.ones((4, 4, 1)), 2, 128, 2, 2, P.Same, 8),
    lambda: nn.input_conv2d(np.ones((3, 3, 2)), W, 1, P.Same, [0, 0]),
    lambda: nn.input_conv2d(np.ones((3, 3, 2)), W, 1, P.Same, [0, 0], -1),
    lambda: nn.scale_out(np.ones((1, 1, 1)), [1], [0], 8, 8),
    lambda: nn.add([[["a"]]], [1], 8),
    lambda: nn.add([[1, 2], [3]], [1], 8),
    lambda: nn.add(np.ones((1, 1, 1)), [1], 2**31),
])
def test_binding_layer_refuses_with_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_argument_ranges_accepted():
    x = np.arange(16, dtype=np.int32).reshape(4, 4, 1)
    # 200 passes the binding layer as a pool width; the operation then refuses it
    with pytest.raises(ValueError, match="pool_x must be at least 1, got -56"):
        nn.max_pooling(x, 200, 2, 2, 2, P.Same, 32)
    out = nn.input_conv2d(np.ones((3, 3, 2), np.uint8), W, 1, P.Same, [0, 0], 2**32 - 1)
    np.testing.assert_array_equal(out, nn.input_conv2d(np.ones((3, 3, 2)), W, 1, P.Same, [0, 0], 0))
    r = nn.matmul(np.ones((1, 1, 2)), np.ones((2, 1)), 32, None)
    assert r[0, 0, 0] == 2


def test_arrays_are_converted_by_numpy_cast():
    base = np.arange(24, dtype=np.int32).reshape(2, 3, 4)
    # a transposed, non-contiguous view is taken in its logical order
    view = base.transpose(1, 0, 2)
    np.testing.assert_array_equal(nn.add(view, np.zeros(4, np.int32), 32), view)
    strided = base[:, ::2, ::3]
    np.testing.assert_array_equal(nn.add(strided, [0, 0], 32), strided)
    # floats are truncated, nested lists accepted
    np.testing.assert_array_equal(nn.add([[[1.9, -1.9]]], [0, 0], 32), [[[1, -1]]])
    # wider integers wrap as NumPy casts them
    assert nn.shift_out(np.array([2**32 + 5], np.int64), [0], 32)[0] == 5


@pytest.mark.parametrize("call,dtype", [
    (lambda: nn.add(np.ones((1, 1, 1)), [1], 8), np.int32),
    (lambda: nn.shift_out(np.ones((1, 1)), [0], 8), np.int8),
    (lambda: nn.dequantize(np.ones((1, 1)), [1.5]), np.float32),
    (lambda: nn.scale_out(np.ones((1, 1, 1), np.int32), np.ones(1, np.uint8), [0], 4, 8), np.uint8),
    (lambda: nn.scale_out(np.ones((1, 1, 1), np.int32), np.ones(1, np.uint8), [0], 16, 8), np.int16),
    (lambda: nn.fifo_op(np.ones((1, 1, 1)), [1]), np.int8),
    (lambda: nn.motepostprocessing_op(np.ones((1, 1, 1)), np.ones((1, 1, 1)), [0], 8, False), np.int8),
])
def test_result_dtypes(call, dtype):
    result = call()
    assert result.dtype == dtype
    assert result.flags.writeable


def test_results_are_independent_copies():
    x = np.ones((1, 1, 1), np.int32)
    out = nn.max_pooling(x, 1, 1, 1, 1, P.Valid, 8)  # the operation hands its input back
    out[0, 0, 0] = 9
    assert x[0, 0, 0] == 1
    again = nn.max_pooling(x, 1, 1, 1, 1, P.Valid, 8)
    assert again[0, 0, 0] == 1 and not np.shares_memory(again, x)


@pytest.mark.parametrize("call,error,message", [
    (lambda: nn.conv2d(np.ones((3, 3, 3)), W, 1, P.Same, 8), ValueError,
     r"conv2d: weights input channels \(2\) must equal inputs channels \(3\)"),
    (lambda: nn.conv2d(np.ones((3, 3, 2)), np.ones(3, np.int8), 1, P.Same, 8), ValueError,
     "weights must have at least 2 dimensions, got 1"),
    (lambda: nn.conv2d(np.ones((3, 3, 2)), np.ones((3, 3, 2)), 1, P.Same, 8), ValueError,
     "weights must have 4 dimensions, got 3"),
    (lambda: nn.conv2d(np.ones((3, 3)), W, 1, P.Same, 8), ValueError,
     "inputs must have 3 dimensions, got 2"),
    (lambda: nn.conv2d(np.ones((3, 3, 2)), np.ones((5, 1, 2, 1)), 1, P.Valid, 8), RuntimeError,
     "^Computed output size would not be strictly positive.$"),
    (lambda: nn.conv2d(np.ones((300, 1, 2)), np.ones((200, 1, 2, 1)), 0, P.Same, 8), ValueError,
     "stride_x must be at least 1"),
    (lambda: nn.depthwise_conv2d(np.ones((3, 3, 3)), np.ones((3, 3, 2)), 1), ValueError,
     r"weights channels \(2\) must equal inputs channels \(3\)"),
    (lambda: nn.input_conv2d(np.ones((3, 3, 2)), W, 1, P.Same, [0], 0), ValueError,
     "pad_values holds 1 values, fewer than the 2"),
    (lambda: nn.input_conv2d(np.ones((3, 3, 3)), W, 1, P.Same, [0, 0, 0], 0), ValueError,
     r"flat_weights row length \(18\)"),
    (lambda: nn.conv2d_transpose(np.ones(3), W, 1), ValueError,
     "inputs must have at least 2 dimensions"),
    (lambda: nn.relu_activation(np.ones((2, 2, 3)), [1, 1]), ValueError,
     "max_values holds 2 values, fewer than the 3"),
    (lambda: nn.dequantize(np.ones((2, 3)), [1.0]), ValueError, "scales holds 1 values"),
    (lambda: nn.global_average_pooling(np.ones((2, 2)), 8), ValueError, "must have 3 dimensions"),
    (lambda: nn.depth_conv_like_op(np.ones((1, 1, 2, 3)), np.ones((1, 1, 3)), 8), ValueError,
     "weights must have 4 dimensions"),
    (lambda: nn.depth_conv_like_op(np.ones((1, 1, 2, 3)), np.ones((1, 1, 2, 2)), 8), ValueError,
     r"weights dimension 3 \(2\) must equal inputs channels \(3\)"),
    (lambda: nn.matmul(np.ones((1, 2)), np.ones((2, 2)), 8, False), ValueError,
     "a must have 3 dimensions"),
    (lambda: nn.matmul(np.ones((1, 1, 2)), np.ones(2), 8, False), ValueError,
     "b must have 2 or 3 dimensions"),
    (lambda: nn.fifo_op(np.ones((2, 2)), [1, 1]), ValueError, "fifo must have at least 3 dimensions"),
    (lambda: nn.subsampling_op(np.ones((10, 2)), 2), ValueError, "x must have 3 dimensions"),
])
def test_operations_refuse_inconsistent_sizes(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_matmul_two_dimensional_b_serves_every_batch():
    a = np.arange(12, dtype=np.int32).reshape(3, 2, 2)
    b = np.array([[1, 2, 3], [4, 5, 6]], np.int32)
    np.testing.assert_array_equal(nn.matmul(a, b, 32, False), a @ b)
    np.testing.assert_array_equal(nn.matmul(a, b.T.copy(), 32, True), a @ b)
