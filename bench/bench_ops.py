"""Reference operations of morla.core.nn against the machine and two peers, in one run:
(a) the core's own 32-bit multiply-add rate in registers (bench/mac_rate.cpp, compiled here),
(b) a vectorised NumPy version of the same integer arithmetic (im2col + integer matmul),
(c) ONNX Runtime's ConvInteger / MatMulInteger on one thread, when onnxruntime and onnx are
installed (bench/requirements.txt). Every result is checked bit for bit against NumPy's
and ONNX Runtime's. Each figure is the minimum and the median of three runs (each run the
best of several calls)."""
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from morla import core

nn = core.nn
RUNS = 3
CALLS = 5


def timings(function):
    """Three runs, each the best of CALLS calls: (min, median) in seconds, and a result."""
    bests, result = [], None
    for _ in range(RUNS):
        best = float("inf")
        for _ in range(CALLS):
            start = time.perf_counter()
            result = function()
            best = min(best, time.perf_counter() - start)
        bests.append(best)
    return (min(bests), statistics.median(bests)), result


def core_rates():
    """GMAC/s of the calibration loop per instruction kind, or {} when it cannot be built."""
    source = pathlib.Path(__file__).resolve().parent / "mac_rate.cpp"
    with tempfile.TemporaryDirectory() as folder:
        program = os.path.join(folder, "mac_rate")
        built = subprocess.run([os.environ.get("CXX", "c++"), "-O2", "-std=c++20", str(source),
                                "-o", program], capture_output=True, text=True)
        if built.returncode != 0:
            print("calibration loop not built: " + built.stderr.strip()[:200])
            return {}
        out = subprocess.run([program], capture_output=True, text=True, check=True).stdout
    return {k: float(v) for k, v in (line.split("=") for line in out.split())}


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


class OnnxPeer:
    """ONNX Runtime on one thread, or None when it is not installed."""

    @staticmethod
    def make():
        try:
            import onnx  # noqa: F401
            import onnxruntime  # noqa: F401
        except ImportError:
            print("ONNX Runtime comparison skipped: pip install -r bench/requirements.txt")
            return None
        return OnnxPeer()

    def session(self, node, inputs, output):
        import onnxruntime as ort
        from onnx import TensorProto, helper
        graph = helper.make_graph(
            [node], "g",
            [helper.make_tensor_value_info(name, helper.np_dtype_to_tensor_dtype(a.dtype), a.shape)
             for name, a in inputs.items()],
            [helper.make_tensor_value_info(output, TensorProto.INT32, None)])
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
        model.ir_version = 8
        options = ort.SessionOptions()
        options.intra_op_num_threads = 1
        options.inter_op_num_threads = 1
        options.execution_mode = ort.ExecutionMode.ORT_SEQUENTIAL
        session = ort.InferenceSession(model.SerializeToString(), options,
                                       providers=["CPUExecutionProvider"])
        return lambda: session.run(None, inputs)[0]

    def conv(self, x, w, stride):
        """Our true convolution of signed 8-bit x (X, Y, C) as ConvInteger on x + 128 with
        zero point 128 (NCHW, kernel flipped); returns a callable giving (X', Y', F)."""
        from onnx import helper
        kx, ky, _, _ = w.shape
        out_x, px0, px1 = same_geometry(x.shape[0], kx, stride)
        out_y, py0, py1 = same_geometry(x.shape[1], ky, stride)
        inputs = {"x": (x + 128).astype(np.uint8).transpose(2, 0, 1)[None].copy(),
                  "w": np.ascontiguousarray(w[::-1, ::-1].transpose(3, 2, 0, 1)),
                  "xz": np.array(128, np.uint8)}
        node = helper.make_node("ConvInteger", ["x", "w", "xz"], ["y"], strides=[stride, stride],
                                pads=[px0, py0, px1, py1])
        run = self.session(node, inputs, "y")
        return lambda: run()[0].transpose(1, 2, 0)

    def matmul(self, a, b):
        """Signed 8-bit a (1, 1, K) by int8 b (K, N) as MatMulInteger on a + 128, zero point 128."""
        from onnx import helper
        inputs = {"a": (a[0] + 128).astype(np.uint8), "b": b, "az": np.array(128, np.uint8)}
        node = helper.make_node("MatMulInteger", ["a", "b", "az"], ["y"])
        run = self.session(node, inputs, "y")
        return lambda: run()[None]

    def matmul_int32(self, a, b):
        """int32 a (1, 1, K) by int32 b (K, N) as MatMul (sums wrap in 32 bits: keep them small)."""
        from onnx import helper
        node = helper.make_node("MatMul", ["a", "b"], ["y"])
        run = self.session(node, {"a": a[0], "b": b}, "y")
        return lambda: run()[None]


def ms(pair):
    return f"{pair[0] * 1e3:8.3f} /{pair[1] * 1e3:8.3f}"


def main():
    rng = np.random.default_rng(7)
    rates = core_rates()
    if rates:
        print("core multiply-add rate in registers, GMAC/s: " +
              ", ".join(f"{k} {v:.1f}" for k, v in rates.items()))
    int32_rate = max([v for k, v in rates.items() if k.endswith("int32")], default=None)
    peer = OnnxPeer.make()
    cases = []  # name, MACs, ours, numpy, onnx (or None), rate to compare with (or None)

    w = rng.integers(-128, 128, (3, 3, 64, 64), dtype=np.int8)
    conv_macs = 56 * 56 * 64 * 64 * 9
    for label, low, high in [("32-bit", -2**31, 2**31), ("16-bit", -2**15, 2**15),
                             ("8-bit", -128, 128)]:
        x = rng.integers(low, high, (56, 56, 64), dtype=np.int64).astype(np.int32)
        onnx_run = peer.conv(x, w, 1) if peer and label == "8-bit" else None
        cases.append((f"conv2d 56x56x64 * 3x3x64x64 s1 Same, {label} inputs", conv_macs,
                      lambda x=x: nn.conv2d(x, w, 1, core.Padding.Same, 32),
                      lambda x=x: numpy_conv2d(x, w, 1, 32), onnx_run,
                      rates.get("vnni_int8") if label == "8-bit" else int32_rate))

    x = rng.integers(-2**15, 2**15, (56, 56, 64), dtype=np.int32)
    dw = rng.integers(-128, 128, (3, 3, 64), dtype=np.int8)
    cases.append(("depthwise_conv2d 56x56x64 * 3x3x64 s1", 56 * 56 * 64 * 9,
                  lambda: nn.depthwise_conv2d(x, dw, 1),
                  lambda: numpy_depthwise(x, dw, 1), None, int32_rate))

    image = rng.integers(0, 256, (224, 224, 3), dtype=np.uint8)
    iw = rng.integers(-128, 128, (3, 3, 3, 32), dtype=np.int8)
    pads = np.array([1, 2, 3], np.uint8)
    cases.append(("input_conv2d 224x224x3 * 3x3x3x32 s2 Same", 112 * 112 * 32 * 27,
                  lambda: nn.input_conv2d(image, iw, 2, core.Padding.Same, pads, 0),
                  lambda: numpy_input_conv2d(image, iw, 2, pads), None, rates.get("vnni_int8")))

    a = rng.integers(-2**15, 2**15, (1, 1, 1024), dtype=np.int32)
    b = rng.integers(-2**15, 2**15, (1024, 1000), dtype=np.int32)
    cases.append(("matmul 1x1x1024 * 1024x1000 int32", 1024 * 1000,
                  lambda: nn.matmul(a, b, 32, False),
                  lambda: numpy_matmul(a, b, 32), None, None))
    # 8-bit values; nn.matmul takes b as int32 (and copies it in), ONNX Runtime's
    # MatMulInteger reads int8, its MatMul the same int32 array.
    a8 = rng.integers(-128, 128, (1, 1, 1024), dtype=np.int32)
    b8 = rng.integers(-128, 128, (1024, 1000), dtype=np.int32)
    cases.append(("matmul 1x1x1024 * 1024x1000, 8-bit values (ORT int8)", 1024 * 1000,
                  lambda: nn.matmul(a8, b8, 32, False), lambda: numpy_matmul(a8, b8, 32),
                  peer.matmul(a8, b8.astype(np.int8)) if peer else None, None))
    cases.append(("matmul 1x1x1024 * 1024x1000, 8-bit values (ORT int32)", 1024 * 1000,
                  lambda: nn.matmul(a8, b8, 32, False), lambda: numpy_matmul(a8, b8, 32),
                  peer.matmul_int32(a8, b8) if peer else None, None))

    print(f"{'operation':52s} {'morla ms min/median':>20s} {'GMAC/s':>7s} {'of core':>8s} "
          f"{'numpy ms':>19s} {'onnxrt ms':>19s} {'vs ort':>7s}  exact")
    ok = True
    for name, macs, ours, numpy_version, onnx_version, rate in cases:
        t_ours, r_ours = timings(ours)
        t_numpy, r_numpy = timings(numpy_version)
        exact = r_ours.dtype == r_numpy.dtype and np.array_equal(r_ours, r_numpy)
        onnx_text, ratio_text = f"{'-':>19s}", f"{'-':>7s}"
        if onnx_version is not None:
            t_onnx, r_onnx = timings(onnx_version)
            exact = exact and np.array_equal(r_ours, r_onnx)
            onnx_text, ratio_text = ms(t_onnx), f"{t_onnx[1] / t_ours[1]:6.2f}x"
        ok = ok and exact
        gmacs = macs / t_ours[1] / 1e9
        share = f"{gmacs / rate:8.2f}" if rate else f"{'-':>8s}"
        print(f"{name:52s} {ms(t_ours)} {gmacs:7.1f} {share} {ms(t_numpy)} {onnx_text} "
              f"{ratio_text}  {'yes' if exact else 'NO'}", flush=True)

    # matmul reads its 4 MB matrix once: the rate of one vectorised pass over it.
    t_read, _ = timings(lambda: np.bitwise_or.reduce(b, axis=None))
    t_mm, _ = timings(lambda: nn.matmul(a, b, 32, False))
    print(f"matmul 1x1024 int32 matrix: {b.nbytes / t_mm[1] / 1e9:.1f} GB/s of b, one NumPy pass "
          f"over it {b.nbytes / t_read[1] / 1e9:.1f} GB/s (ratio {t_read[1] / t_mm[1]:.2f})")
    print("'of core': GMAC/s over the calibration loop's rate of the instruction the case can use "
          "(int32 multiply-add; the 8-bit dot product for 8-bit inputs). 'vs ort': ONNX Runtime "
          "time over ours (median).")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
