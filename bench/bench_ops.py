"""Reference operations of morla.core.nn against a vectorised NumPy version of the same
integer arithmetic (im2col + integer matmul), timed side by side in one run; every result
is checked bit for bit against the NumPy one."""
import sys
import time

import numpy as np

from morla import core

nn = core.nn
REPEATS = 15


def best_time(function):
    best = float("inf")
    result = None
    for _ in range(REPEATS):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def clip(values, bits):
    return np.clip(values, -(1 << (bits - 1)), (1 << (bits - 1)) - 1)


def same_geometry(size, kernel, stride):
    out = -(-size // stride)
    total = max((out - 1) * stride - (size - kernel), 0)
    return out, total // 2, total - total // 2


def im2col(padded, kx, ky, stride, out_x, out_y):
    """(out_x * out_y, kx * ky * C) patches of a padded (X, Y, C) image, tap (t, u) major."""
    view = np.lib.stride_tricks.sliding_window_view(padded, (kx, ky), axis=(0, 1))
    view = view[: (out_x - 1) * stride + 1 : stride, : (out_y - 1) * stride + 1 : stride]
    # view: (out_x, out_y, C, kx, ky) -> (out_x, out_y, kx, ky, C)
    return view.transpose(0, 1, 3, 4, 2).reshape(out_x * out_y, -1)


def numpy_conv2d(inputs, weights, stride, bits):
    kx, ky, channels, filters = weights.shape
    out_x, px0, px1 = same_geometry(inputs.shape[0], kx, stride)
    out_y, py0, py1 = same_geometry(inputs.shape[1], ky, stride)
    padded = np.pad(inputs, ((px0, px1), (py0, py1), (0, 0)))
    patches = im2col(padded, kx, ky, stride, out_x, out_y)
    kernel = weights[::-1, ::-1].reshape(-1, filters).astype(np.int32)  # true convolution
    return clip(patches @ kernel, bits).astype(np.int32).reshape(out_x, out_y, filters)


def numpy_depthwise(inputs, weights, stride):
    kx, ky, channels = weights.shape
    out_x, px0, px1 = same_geometry(inputs.shape[0], kx, stride)
    out_y, py0, py1 = same_geometry(inputs.shape[1], ky, stride)
    padded = np.pad(inputs, ((px0, px1), (py0, py1), (0, 0)))
    patches = im2col(padded, kx, ky, stride, out_x, out_y).reshape(out_x * out_y, kx * ky, channels)
    kernel = weights[::-1, ::-1].reshape(kx * ky, channels).astype(np.int32)
    return np.einsum("pkc,kc->pc", patches, kernel).astype(np.int32).reshape(out_x, out_y, channels)


def numpy_input_conv2d(inputs, weights, stride, pad_values):
    kx, ky, channels, filters = weights.shape
    out_x, px0, px1 = same_geometry(inputs.shape[0], kx, stride)
    out_y, py0, py1 = same_geometry(inputs.shape[1], ky, stride)
    padded = np.empty((inputs.shape[0] + px0 + px1, inputs.shape[1] + py0 + py1, channels), np.int32)
    padded[...] = pad_values.astype(np.int32)
    padded[px0 : px0 + inputs.shape[0], py0 : py0 + inputs.shape[1]] = inputs
    patches = im2col(padded, kx, ky, stride, out_x, out_y)
    return (patches @ weights.reshape(-1, filters).astype(np.int32)).reshape(out_x, out_y, filters)


def numpy_matmul(a, b, bits):
    return clip(a.astype(np.int64) @ b.astype(np.int64), bits).astype(np.int32)


def main():
    rng = np.random.default_rng(7)
    cases = []

    x = rng.integers(-128, 128, (56, 56, 64), dtype=np.int32)
    w = rng.integers(-128, 128, (3, 3, 64, 64), dtype=np.int8)
    cases.append(("conv2d 56x56x64 * 3x3x64x64 s1 Same",
                  lambda: nn.conv2d(x, w, 1, core.Padding.Same, 20),
                  lambda: numpy_conv2d(x, w, 1, 20)))

    dw = rng.integers(-128, 128, (3, 3, 64), dtype=np.int8)
    cases.append(("depthwise_conv2d 56x56x64 * 3x3x64 s1",
                  lambda: nn.depthwise_conv2d(x, dw, 1),
                  lambda: numpy_depthwise(x, dw, 1)))

    image = rng.integers(0, 256, (224, 224, 3), dtype=np.uint8)
    iw = rng.integers(-128, 128, (3, 3, 3, 32), dtype=np.int8)
    pads = np.array([1, 2, 3], np.uint8)
    cases.append(("input_conv2d 224x224x3 * 3x3x3x32 s2 Same",
                  lambda: nn.input_conv2d(image, iw, 2, core.Padding.Same, pads, 0),
                  lambda: numpy_input_conv2d(image, iw, 2, pads)))

    a = rng.integers(-2**15, 2**15, (1, 1, 1024), dtype=np.int32)
    b = rng.integers(-2**15, 2**15, (1024, 1000), dtype=np.int32)
    cases.append(("matmul 1x1x1024 * 1024x1000",
                  lambda: nn.matmul(a, b, 32, False),
                  lambda: numpy_matmul(a, b, 32)))

    print(f"{'operation':44s} {'morla ms':>10s} {'numpy ms':>10s} {'ratio':>7s}  exact")
    ok = True
    for name, ours, baseline in cases:
        t_ours, r_ours = best_time(ours)
        t_base, r_base = best_time(baseline)
        exact = r_ours.dtype == r_base.dtype and np.array_equal(r_ours, r_base)
        ok = ok and exact
        print(f"{name:44s} {t_ours * 1e3:10.2f} {t_base * 1e3:10.2f} {t_base / t_ours:6.1f}x  "
              f"{'yes' if exact else 'NO'}", flush=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
