"""The nn reference operations against the plain oracles of nn_oracles, on hand-computed
cases and on seeded random shapes and values, bit for bit."""
import numpy as np
import pytest

import nn_oracles as ref
from morla import core

nn = core.nn
P = core.Padding
MODES = {"Valid": P.Valid, "Same": P.Same, "SameUpper": P.SameUpper}


def rand_i32(rng, shape, lo=-1000, hi=1000):
    return rng.integers(lo, hi, shape, dtype=np.int32)


def assert_same(got, want):
    assert got.dtype == want.dtype, (got.dtype, want.dtype)
    np.testing.assert_array_equal(got, want)


# ---------------------------------------------------------------- convolutions

def test_conv2d_is_a_true_convolution_and_input_conv2d_a_correlation():
    w = np.arange(1, 10, dtype=np.int8).reshape(3, 3, 1, 1)
    x = np.zeros((3, 3, 1), np.int32)
    x[1, 1, 0] = 1
    out = nn.conv2d(x, w, 1, P.Same, 32)[..., 0]
    assert out[0, 0] == w[0, 0, 0, 0] and out[2, 2] == w[2, 2, 0, 0]
    np.testing.assert_array_equal(out, w[..., 0, 0])
    corr = nn.input_conv2d(x.astype(np.uint8), w, 1, P.Same, np.zeros(1, np.uint8), 0)[..., 0]
    assert corr[0, 0] == w[2, 2, 0, 0]
    np.testing.assert_array_equal(corr, w[::-1, ::-1, 0, 0])


def test_conv_clipping_only_in_conv2d():
    x = np.full((1, 1, 10), 100, np.int32)
    w = np.ones((1, 1, 10, 1), np.int8)
    assert nn.conv2d(x, w, 1, P.Valid, 8)[0, 0, 0] == 127
    assert nn.conv2d(x, w, 1, P.Valid, 16)[0, 0, 0] == 1000
    assert nn.depthwise_conv2d(np.full((1, 1, 1), 1000, np.int32), np.ones((1, 1, 1), np.int8), 1)[0, 0, 0] == 1000
    assert nn.conv2d_transpose(np.full((1, 1, 1), 1000, np.int32), np.ones((1, 1, 1, 1), np.int8), 1)[0, 0, 0] == 1000


def test_conv2d_wraps_in_32_bits_before_the_clip():
    x = np.array([[[2**31 - 1, 2**31 - 1]]], np.int32)
    w = np.ones((1, 1, 2, 1), np.int8)
    assert nn.conv2d(x, w, 1, P.Valid, 0)[0, 0, 0] == -2


def test_conv2d_kernel_smaller_than_stride_samples():
    x = np.arange(1, 6, dtype=np.int32).reshape(5, 1, 1)
    w = np.ones((1, 1, 1, 1), np.int8)
    np.testing.assert_array_equal(nn.conv2d(x, w, 2, P.Valid, 32)[:, 0, 0], [1, 3, 5])


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("mode", ["Valid", "Same", "SameUpper"])
def test_conv2d_random(seed, mode):
    rng = np.random.default_rng(seed)
    X, Y, C, F = rng.integers(2, 7), rng.integers(2, 7), rng.integers(1, 4), rng.integers(1, 4)
    kx, ky = rng.integers(1, 4), rng.integers(1, 4)
    kx, ky = min(kx, X), min(ky, Y)
    stride = int(rng.integers(0, 4))
    bits = int(rng.choice([4, 8, 16, 32, 0]))
    x = rand_i32(rng, (X, Y, C))
    x[rng.random(x.shape) < 0.3] = 0
    w = rng.integers(-128, 128, (kx, ky, C, F), dtype=np.int8)
    g = ref.compute_padding(kx, ky, stride, stride, mode, x.shape)
    want = ref.conv2d(x, w, g[6], g[7], g[0], g[2], g[4], g[5], bits)
    assert_same(nn.conv2d(x, w, stride, MODES[mode], bits), want)


@pytest.mark.parametrize("seed", range(6))
def test_depthwise_conv2d_random(seed):
    rng = np.random.default_rng(100 + seed)
    X, Y, C = rng.integers(1, 7), rng.integers(1, 7), rng.integers(1, 5)
    kx, ky = rng.integers(1, 4), rng.integers(1, 4)
    stride = int(rng.integers(0, 4))
    x = rand_i32(rng, (X, Y, C), -2**31, 2**31)
    w = rng.integers(-128, 128, (kx, ky, C) if seed % 2 else (kx, ky, C, 1), dtype=np.int8)
    g = ref.compute_padding(kx, ky, stride, stride, "Same", x.shape)
    want = ref.depthwise_conv2d(x, w, g[6], g[7], g[0], g[2], g[4], g[5])
    assert_same(nn.depthwise_conv2d(x, w, stride), want)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("mode", ["Valid", "Same"])
def test_input_conv2d_random(seed, mode):
    rng = np.random.default_rng(200 + seed)
    X, Y, C, F = rng.integers(3, 9), rng.integers(3, 9), rng.integers(1, 4), rng.integers(1, 4)
    kx, ky = rng.integers(1, 4), rng.integers(1, 4)
    stride = int(rng.integers(1, 4))
    x = rng.integers(0, 256, (X, Y, C), dtype=np.uint8)
    w = rng.integers(-128, 128, (kx, ky, C, F), dtype=np.int8)
    pads = rng.integers(0, 256, C, dtype=np.uint8)
    g = ref.compute_padding(kx, ky, stride, stride, mode, x.shape)
    want = ref.input_conv2d(x, w, pads, stride, g)
    assert_same(nn.input_conv2d(x, w, stride, MODES[mode], pads, int(rng.integers(0, 2**32))), want)


def test_input_conv2d_padding_uses_pad_values_per_channel():
    x = np.zeros((2, 2, 2), np.uint8)
    w = np.ones((3, 3, 2, 1), np.int8)
    out = nn.input_conv2d(x, w, 1, P.Same, np.array([1, 10], np.uint8), 7)
    # Corner windows see 5 padding positions, edge ones... every window of a 2x2 input
    # with a 3x3 kernel has 5 padded taps per channel.
    np.testing.assert_array_equal(out[..., 0], np.full((2, 2), 5 * 11))
    assert nn.input_conv2d(x, w[:2, :2], 1, P.Valid, np.array([9, 9], np.uint8), 0)[0, 0, 0] == 0


def test_input_conv2d_refuses_windows_that_do_not_match_the_output():
    # SameUpper, stride 1, even input: the padded input holds one window fewer.
    x = np.ones((4, 4, 1), np.uint8)
    w = np.ones((3, 3, 1, 1), np.int8)
    with pytest.raises(ValueError, match="windows along x.*\\(3\\).*out_x \\(4\\)"):
        nn.input_conv2d(x, w, 1, P.SameUpper, np.zeros(1, np.uint8), 0)
    # stride 2 with an even input is consistent
    g = ref.compute_padding(3, 3, 2, 2, "SameUpper", x.shape)
    assert_same(nn.input_conv2d(x, w, 2, P.SameUpper, np.full(1, 3, np.uint8), 0),
                ref.input_conv2d(x, w, np.full(1, 3, np.uint8), 2, g))


@pytest.mark.parametrize("seed", range(6))
def test_conv2d_transpose_random(seed):
    rng = np.random.default_rng(300 + seed)
    X, Y, C, F = rng.integers(1, 5), rng.integers(1, 5), rng.integers(1, 4), rng.integers(1, 4)
    kx, ky = rng.integers(1, 5), rng.integers(1, 5)
    stride = int(rng.integers(1, 4))
    x = rand_i32(rng, (X, Y, C))
    w = rng.integers(-128, 128, (kx, ky, C, F), dtype=np.int8)
    px, py = max(0, kx - stride) // 2, max(0, ky - stride) // 2
    want = ref.conv2d_transpose(x, w, stride, px, py, X * stride, Y * stride)
    assert_same(nn.conv2d_transpose(x, w, stride), want)


def test_conv2d_transpose_edges():
    x = np.zeros((2, 2, 1), np.int32)
    x[1, 1, 0] = 1
    w = np.arange(1, 10, dtype=np.int8).reshape(3, 3, 1, 1)
    out = nn.conv2d_transpose(x, w, 2)[..., 0]  # pads 0, out 4x4
    np.testing.assert_array_equal(out[2:, 2:], w[:2, :2, 0, 0])
    assert out[:2].sum() == 0 and out[:, :2].sum() == 0
    with pytest.raises(RuntimeError, match="Cannot have a shape with dimension 0 set to 0"):
        nn.conv2d_transpose(x, w, 0)


@pytest.mark.parametrize("seed", range(4))
def test_depth_conv_like_op_random(seed):
    rng = np.random.default_rng(400 + seed)
    A, B, D, C = (int(v) for v in rng.integers(1, 4, 4))
    bits = int(rng.choice([4, 8, 32]))
    x = rand_i32(rng, (A, B, D, C), -20, 20)
    w = rng.integers(-10, 10, (1, 1, D, C), dtype=np.int8)
    want = np.zeros((A, B, C), np.int64)
    for a in range(A):
        for b in range(B):
            for d in range(D):
                for c in range(C):
                    want[a, b, c] = ref.clip(int(w[0, 0, d, c]) * int(x[a, b, d, c]) + int(want[a, b, c]), bits)
    assert_same(nn.depth_conv_like_op(x, w, bits), want.astype(np.int32))


def test_depth_conv_like_op_saturates_at_every_step():
    x = np.array([7, 7, -7], np.int32).reshape(1, 1, 3, 1)
    assert nn.depth_conv_like_op(x, np.ones((1, 1, 3, 1), np.int8), 4)[0, 0, 0] == 0


# ---------------------------------------------------------------- pooling

@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("mode", ["Valid", "Same", "SameUpper"])
def test_max_pooling_random(seed, mode):
    """Every window placement compute_padding gives, odd and even sizes, pools 1-7 and
    strides 1-4 (pools smaller and larger than their stride)."""
    rng = np.random.default_rng(500 + seed)
    for _ in range(40):
        X, Y, C = rng.integers(1, 15), rng.integers(1, 15), rng.integers(1, 4)
        px, py = int(rng.integers(1, 8)), int(rng.integers(1, 8))
        sx, sy = int(rng.integers(1, 5)), int(rng.integers(1, 5))
        bits = int(rng.choice([8, 16, 32]))
        x = rand_i32(rng, (X, Y, C), -300, 300)
        try:
            g = ref.compute_padding(px, py, sx, sy, mode, x.shape)
        except RuntimeError:
            with pytest.raises(RuntimeError):
                nn.max_pooling(x, px, py, sx, sy, MODES[mode], bits)
            continue
        want = x if px == py == 1 else ref.max_pooling(x, px, py, g, bits)
        assert_same(nn.max_pooling(x, px, py, sx, sy, MODES[mode], bits), want)


def test_max_pooling_cases():
    x = np.arange(16, dtype=np.int32).reshape(4, 4, 1) * 20 - 100
    out = nn.max_pooling(x, 2, 2, 2, 2, P.Valid, 8)[..., 0]
    np.testing.assert_array_equal(out, [[0, 40], [127, 127]])  # 160 and 200 clipped
    # padding never wins
    neg = np.full((3, 3, 1), -100, np.int32)
    assert (nn.max_pooling(neg, 3, 3, 1, 1, P.Same, 32) == -100).all()
    # pool 2, stride 3: position 2 belongs to window 0
    row = np.array([1, 2, 9, 4, 5, 6], np.int32).reshape(6, 1, 1)
    np.testing.assert_array_equal(nn.max_pooling(row, 2, 1, 3, 1, P.Valid, 32)[:, 0, 0], [9, 6])
    # a 1x1 pool returns the input unchanged, not clipped, not subsampled
    np.testing.assert_array_equal(nn.max_pooling(x, 1, 1, 2, 2, P.Valid, 4), x)
    # stride -1 is replaced by the pool width
    np.testing.assert_array_equal(nn.max_pooling(x, 2, 2, -1, 2, P.Valid, 8)[..., 0], out)
    # SameUpper on an even size: the after pad of -1 leaves the last row unread
    rows = np.arange(48, dtype=np.int32).reshape(12, 4, 1)
    blocks = np.maximum.reduceat(np.maximum.reduceat(rows[:11, :3, 0], range(0, 11, 2), 0), [0, 2], 1)
    np.testing.assert_array_equal(nn.max_pooling(rows, 2, 2, 2, 2, P.SameUpper, 32)[..., 0], blocks)


def test_max_pooling_refuses_strides_and_pools_below_one():
    x = np.ones((4, 4, 1), np.int32)
    with pytest.raises(ValueError, match="stride_y must be at least 1"):
        nn.max_pooling(x, 2, 2, 2, 200, P.Same, 8)   # 200 arrives as -56
    with pytest.raises(ValueError, match="pool_x must be at least 1"):
        nn.max_pooling(x, 200, 2, 2, 2, P.Same, 8)
    with pytest.raises(ValueError, match="stride_y"):
        nn.max_pooling(x, 2, 0, 2, 0, P.Same, 8)     # kernel 0 replaces stride 0


def test_global_average_pooling_is_a_saturating_sum():
    x = np.full((2, 2, 1), 100, np.int32)
    assert nn.global_average_pooling(x, 8)[0, 0, 0] == 127
    x = np.array([100, 100, -100, -100], np.int32).reshape(2, 2, 1)
    assert nn.global_average_pooling(x, 8)[0, 0, 0] == -73  # 100, 127, 27, -73


# Every step's clipped sum is stored in the int32 element (saturating), at every width.
@pytest.mark.parametrize("bits", [0, 1, 8, 31, 32, 33, 40, 64])
def test_global_average_pooling_saturates_each_step(bits):
    def reference(x):
        out = [0] * x.shape[2]
        for v in x.reshape(-1, x.shape[2]):
            out = [ref.sat32(ref.clip(o + int(e), bits)) for o, e in zip(out, v)]
        return np.array(out, np.int32).reshape(1, 1, -1)

    edge = np.array([-2**30, 1, -2**30, -1, -2**31 + 1, 2**30], np.int32).reshape(6, 1, 1)
    rng = np.random.default_rng(bits)
    big = rand_i32(rng, (5, 7, 19), -2**31, 2**31)
    big[rng.random(big.shape) < 0.2] = 2**31 - 1
    for x in (edge, big, rand_i32(rng, (9, 3, 70))):
        assert_same(nn.global_average_pooling(x, bits), reference(x))


# ---------------------------------------------------------------- shifts

@pytest.mark.parametrize("seed", range(5))
def test_shift_functions_random(seed):
    rng = np.random.default_rng(600 + seed)
    shape = tuple(int(v) for v in rng.integers(1, 5, rng.integers(1, 5)))
    C = shape[-1]
    x = rand_i32(rng, shape, -2**31, 2**31)
    bits = int(rng.choice([1, 8, 12, 32, 0, 40]))
    u = rng.integers(0, 32, C, dtype=np.uint8)
    s = rng.integers(-31, 32, C, dtype=np.int8)
    assert_same(nn.lshift(x, u, bits), ref.channel_shift(x, u, "lshift", bits).astype(np.int32))
    assert_same(nn.shift(x, s, bits), ref.channel_shift(x, s, "floor", bits).astype(np.int32))
    if bits >= 1:
        want = ref.channel_shift(x, s, "round", bits)
        want = want.astype(np.int32).astype(np.int8) if bits <= 8 else want.astype(np.int32)
        assert_same(nn.shift_out(x, s, bits), want)


def test_shift_edges():
    x = np.array([-3, 3, 300, -300], np.int32)
    assert nn.shift(x[:1], np.array([-1], np.int8), 32)[0] == -2
    out = nn.shift_out(x[:2].reshape(2, 1), np.array([-1], np.int8), 8).reshape(-1)
    assert out.dtype == np.int8 and list(out) == [-1, 2]
    np.testing.assert_array_equal(nn.lshift(x[2:].reshape(2, 1), np.array([0], np.uint8), 8).reshape(-1), [127, -128])
    assert nn.shift_out(np.array([2**31 - 1], np.int32), np.array([31], np.int8), 32)[0] == 2**31 - 1
    # bits 0 clips nothing, the 64-bit value saturates to int32 when stored
    assert nn.lshift(np.array([2**30], np.int32), np.array([4], np.uint8), 0)[0] == 2**31 - 1
    assert nn.add(np.full((1, 1, 1), 100, np.int32), np.full(1, 100, np.int32), 0)[0, 0, 0] == 200


@pytest.mark.parametrize("function,shift,message", [
    ("lshift", np.array([32], np.uint8), "left shift higher than 31"),
    ("lshift", np.array([200], np.uint8), "left shift higher than 31"),  # unsigned, not -56
    ("shift", np.array([32], np.int8), "left shift higher than 31"),
    ("shift", np.array([-32], np.int8), "right shift higher than 31"),
    ("shift_out", np.array([-128], np.int8), "right shift higher than 31"),
])
def test_shift_limits(function, shift, message):
    with pytest.raises(RuntimeError, match=message):
        getattr(nn, function)(np.ones((2, 1), np.int32), shift, 32)


def test_shift_out_refuses_widths_below_one():
    with pytest.raises(ValueError, match="bits must be at least 1"):
        nn.shift_out(np.ones(3, np.int32), np.zeros(3, np.int8), 0)


def test_shifts_shorter_than_channels_are_refused():
    with pytest.raises(ValueError, match="^shift: shifts holds 2 values, fewer than the 3"):
        nn.shift(np.ones((2, 3), np.int32), np.zeros(2, np.int8), 8)


# ---------------------------------------------------------------- element-wise and matmul

@pytest.mark.parametrize("b_shape", [(3,), (2, 3), (2, 2, 3)])
def test_add_broadcasts(b_shape):
    rng = np.random.default_rng(7)
    a = rand_i32(rng, (2, 2, 3), -200, 200)
    b = rand_i32(rng, b_shape, -200, 200)
    want = np.clip(a.astype(np.int64) + b, -128, 127).astype(np.int32)
    assert_same(nn.add(a, b, 8), want)


@pytest.mark.parametrize("b_shape", [(4,), (3, 3), (1, 2, 3), (2, 2, 3, 1)])
def test_add_refuses_a_b_that_does_not_fit(b_shape):
    with pytest.raises(ValueError, match="b of shape"):
        nn.add(np.ones((2, 2, 3), np.int32), np.ones(b_shape, np.int32), 8)


@pytest.mark.parametrize("shape,widths", [((2, 2), (3, 1)), ((5, 7), (13, 6)), ((1, 9), (1, 1)),
                                          ((56, 56), (64, 64))])
def test_concatenate(shape, widths):
    rng = np.random.default_rng(sum(shape) + sum(widths))
    a = rand_i32(rng, shape + widths[:1], -2**31, 2**31)
    b = rand_i32(rng, shape + widths[1:], -2**31, 2**31)
    assert_same(nn.concatenate(a, b), np.concatenate([a, b], axis=2))


def test_concatenate_refuses_other_sizes():
    a = np.zeros((2, 2, 3), np.int32)
    with pytest.raises(ValueError, match="tensor 1 dimension 1 \\(3\\) must equal tensor 0 dimension 1 \\(2\\)"):
        nn.concatenate(a, np.ones((2, 3, 1), np.int32))


def test_relu_look_up_dequantize():
    x = np.array([-5, 0, 3, 9], np.int32).reshape(1, 4, 1)
    np.testing.assert_array_equal(nn.relu_activation(x, [6]).reshape(-1), [0, 0, 3, 6])
    np.testing.assert_array_equal(nn.relu_activation(x, [-1]).reshape(-1), [0, 0, 0, 0])
    lut = np.array([10, 11, 12, 13], np.int32)
    np.testing.assert_array_equal(nn.look_up(lut, [[-2, -1], [0, 1]]), [[10, 11], [12, 13]])
    with pytest.raises(IndexError, match="^morla::ops::look_up: Index 2 is out of bounds.$"):
        nn.look_up(lut, [2])
    with pytest.raises(IndexError, match="Index -3 is"):
        nn.look_up(lut, [-3])
    out = nn.dequantize(np.array([[3, -4]], np.int32), np.array([0.5, 0.1], np.float32))
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out, [[np.float32(3) * np.float32(0.5), np.float32(-4) * np.float32(0.1)]])


@pytest.mark.parametrize("seed", range(6))
def test_matmul_random(seed):
    rng = np.random.default_rng(700 + seed)
    A0, A1, K, N = (int(v) for v in rng.integers(1, 5, 4))
    transpose = bool(seed % 2)
    two_d = seed >= 4
    a = rand_i32(rng, (A0, A1, K), -2**31, 2**31)
    shape = (N, K) if transpose else (K, N)
    b = rand_i32(rng, shape if two_d else (A0,) + shape, -2**31, 2**31)
    bits = int(rng.choice([8, 32, 0]))
    assert_same(nn.matmul(a, b, bits, transpose), ref.matmul(a, b, bits, transpose))


def test_matmul_transpose_matches_and_sizes_are_checked():
    rng = np.random.default_rng(1)
    a = rand_i32(rng, (1, 2, 3))
    b = rand_i32(rng, (1, 3, 4))
    np.testing.assert_array_equal(nn.matmul(a, b, 32, False), nn.matmul(a, b.transpose(0, 2, 1), 32, True))
    with pytest.raises(ValueError, match="b batches \\(1\\) must equal a batches \\(2\\)"):
        nn.matmul(np.ones((2, 1, 3), np.int32), b, 32, False)
    with pytest.raises(ValueError, match="a dimension 2 \\(5\\)"):
        nn.matmul(np.ones((1, 1, 5), np.int32), b, 32, False)


def test_fifo_op_shifts_entries_and_leaves_the_argument():
    fifo = np.array([1, 2, 3, 4, 5, 6], np.int8).reshape(1, 1, 3, 2)
    out = nn.fifo_op(fifo, np.array([7, 8], np.int8))
    np.testing.assert_array_equal(out.reshape(-1), [3, 4, 5, 6, 7, 8])
    np.testing.assert_array_equal(fifo.reshape(-1), [1, 2, 3, 4, 5, 6])
    one = nn.fifo_op(np.zeros((2, 1, 1), np.int8), np.array([5, 6], np.int8))
    np.testing.assert_array_equal(one.reshape(-1), [5, 6])
    with pytest.raises(ValueError, match="frame holds 2 values, fewer than the 4"):
        nn.fifo_op(np.zeros((2, 1, 3, 2), np.int8), np.array([7, 8], np.int8))


# ---------------------------------------------------------------- stateful and post-processing

def test_stateful_main_op_accumulates():
    x = np.array([1, 2, 3, 4], np.int32).reshape(1, 4, 1)
    one, zero = np.ones(1, np.int16), np.zeros(1, np.int16)
    state = np.zeros(1, np.int32)
    result = nn.stateful_main_op(x, np.zeros(1, np.int8), state, state, one, zero, 32, 32)
    assert isinstance(result, tuple) and len(result) == 2
    np.testing.assert_array_equal(result[0].reshape(-1), [1, 3, 6, 10])
    np.testing.assert_array_equal(result[1].reshape(-1), [0, 0, 0, 0])
    r, _ = nn.stateful_main_op(np.zeros((1, 1, 1), np.int32), np.zeros(1, np.int8), [1], [0],
                               [100], [0], 8, 32)
    assert r[0, 0, 0] == 100
    # bits 8: the product 100 * 100 is clipped to 127 before the subtraction
    r, _ = nn.stateful_main_op(np.zeros((1, 1, 1), np.int32), np.zeros(1, np.int8), [100], [0],
                               [100], [0], 8, 32)
    assert r[0, 0, 0] == 127


@pytest.mark.parametrize("seed", range(5))
def test_stateful_main_op_random(seed):
    rng = np.random.default_rng(800 + seed)
    T, K = int(rng.integers(1, 6)), int(rng.integers(1, 4))
    x = rand_i32(rng, (1, T, K), -5000, 5000)
    shifts = rng.integers(-4, 3, K, dtype=np.int8)
    re, im = rand_i32(rng, K), rand_i32(rng, K)
    a = rng.integers(-300, 300, K, dtype=np.int16)
    b = rng.integers(-300, 300, K, dtype=np.int16)
    bits, out_bits = int(rng.choice([12, 16, 32])), int(rng.choice([9, 16, 32]))
    got = nn.stateful_main_op(x, shifts, re, im, a, b, bits, out_bits)
    want = ref.stateful_main_op(x, shifts, re, im, a, b, bits, out_bits)
    assert_same(got[0], want[0])
    assert_same(got[1], want[1])
    np.testing.assert_array_equal(re, re.copy())


def test_stateful_main_op_refusals():
    args = [np.zeros((1, 2, 3), np.int32), np.zeros(3, np.int8), np.zeros(3, np.int32),
            np.zeros(3, np.int32), np.zeros(3, np.int16), np.zeros(2, np.int16), 16, 16]
    with pytest.raises(ValueError, match="b holds 2 values, fewer than the 3"):
        nn.stateful_main_op(*args)
    args[5] = np.zeros(3, np.int16)
    args[7] = 8
    with pytest.raises(RuntimeError, match="Wrong requested type int for a tensor of type int8"):
        nn.stateful_main_op(*args)


def test_subsampling_op():
    x = np.arange(20, dtype=np.int32).reshape(1, 10, 2)
    np.testing.assert_array_equal(nn.subsampling_op(x, 3), x[:, [2, 5, 8]])
    np.testing.assert_array_equal(nn.subsampling_op(x, 1), x)
    with pytest.raises(RuntimeError, match="dimension 1 set to 0"):
        nn.subsampling_op(x[:, :2], 3)
    with pytest.raises(ValueError, match="stride must be at least 1, got 0"):
        nn.subsampling_op(x, 0)


@pytest.mark.parametrize("out_bits", [1, 4, 5, 8, 12, 16, 32, 40])
@pytest.mark.parametrize("acc_bits", [0, 8, 20])
def test_scale_out_random(out_bits, acc_bits):
    rng = np.random.default_rng(out_bits * 100 + acc_bits)
    x = rand_i32(rng, (2, 3, 4), -70000, 70000)
    scales = rng.integers(0, 256, 4).astype(np.uint8)
    shifts = rng.integers(-8, 4, 4, dtype=np.int8)
    assert_same(nn.scale_out(x, scales, shifts, out_bits, acc_bits),
                ref.scale_out(x, scales, shifts, out_bits, acc_bits))


def test_scale_out_scales_conversion_and_limits():
    x = np.array([1, -1, 200000], np.int32).reshape(1, 1, 3)
    wide = np.array([300, 300, 300], np.uint16)
    assert_same(nn.scale_out(x, wide, np.zeros(3, np.int8), 16, 0), np.array([300, -300, 32767], np.int16).reshape(1, 1, 3))
    assert nn.scale_out(x, np.array([300, 1, 1], np.int32), np.zeros(3, np.int8), 32, 0)[0, 0, 0] == 44
    assert nn.scale_out(np.array([[[100]]], np.int32), np.array([2], np.uint8), np.zeros(1, np.int8), 32, 8)[0, 0, 0] == 127
    with pytest.raises(TypeError):
        nn.scale_out(x, [1, 1, 1], np.zeros(3, np.int8), 16, 0)
    with pytest.raises(ValueError, match="out_bits must be at least 1"):
        nn.scale_out(x, wide, np.zeros(3, np.int8), 0, 0)
    with pytest.raises(ValueError, match="scales holds 2 values"):
        nn.scale_out(x, np.ones(2, np.uint8), np.zeros(3, np.int8), 8, 0)


@pytest.mark.parametrize("raw", [True, False])
@pytest.mark.parametrize("seed", range(3))
def test_motepostprocessing_random(raw, seed):
    rng = np.random.default_rng(900 + seed)
    shape = tuple(int(v) for v in rng.integers(1, 5, 3))
    p = rng.integers(-2**15, 2**15, shape, dtype=np.int16)
    q = rng.integers(-2**15, 2**15, shape, dtype=np.int16)
    th = rng.integers(0, 40000, shape[2], dtype=np.uint16)
    bits = int(rng.choice([8, 16, 32]))
    assert_same(nn.motepostprocessing_op(p, q, th, bits, raw), ref.motepostprocessing(p, q, th, bits, raw))


def test_motepostprocessing_threshold_is_strict_and_p_is_checked():
    q = np.array([4, 6], np.int16).reshape(1, 2, 1)
    p = np.zeros((1, 2, 1), np.int16)
    assert nn.motepostprocessing_op(p, q, [5], 32, True)[0, 0, 0] == 5
    assert nn.motepostprocessing_op(p, q, [5], 32, False)[0, 0, 0] == 0
    assert nn.motepostprocessing_op(p, q, [4], 32, False)[0, 0, 0] == 1
    with pytest.raises(ValueError, match="p holds 1 values, fewer than the 2"):
        nn.motepostprocessing_op(np.zeros(1, np.int16), q, [5], 32, True)
