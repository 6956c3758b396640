"""Reference operations of morla.core.nn against the machine and their peers, in one run on
one pinned core, every case timed round by round beside its references (bench/rounds.py):
- the core's multiply-add limit of each precision (bench/mac_rate.cpp, compiled here): each
  kernel's rate is given as a share of its own precision's limit;
- a vectorised NumPy version of the same integer arithmetic (im2col + integer matmul), and
  ONNX Runtime on one thread, when installed (bench/requirements.txt): ConvInteger and
  QLinearConv (its int8 inference convolution: uint8 inputs, int8 weights, requantised
  uint8 outputs, checked against the exact sums requantised) for 8-bit inputs, MatMulInteger
  and MatMul, each given its weights, scales and zero points as constants of its graph;
- matmul against its bandwidth bound: one copy of b (the engine's own) plus one read pass;
- the element-wise operations against their floor (a copy of each array argument, one read
  pass over it, and a new NumPy array holding the output, in one pybind11 call taking the
  call's arrays as the binding does: bench/floors_python.cpp) and against NumPy doing the
  same work;
- every kernel path the CPU can run, the native one and each lower one (bench/paths.cpp,
  built here against the project's static libraries: the module has no switch for it):
  the element-wise operations against their floor, and the 8-bit convolution as a whole
  call beside its loops alone.
Our results are checked bit for bit against NumPy's (a difference fails the bench); each
peer's against the exact result, and a peer inexact on this CPU (ONNX Runtime's u8 x s8
kernels saturate their 16-bit pair sums without VNNI) is marked so, its time still shown.
A missed speed target is printed, never an exit status. Figures: min / median of the
rounds, each call repeated for at least 3 ms (a steady stream of calls), on the CPU class
printed first."""
import os
import pathlib
import subprocess
import sys
import tempfile

import numpy as np

import rounds
from morla import core

nn = core.nn


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

    def session(self, node, inputs, constants, output, output_type="INT32"):
        """A callable running `node` on `inputs`, its `constants` (weights, scales, zero points)
        initializers of the graph, as a deployed model holds them: the peer prepares them once,
        when the session is made."""
        import onnxruntime as ort
        from onnx import TensorProto, helper, numpy_helper
        graph = helper.make_graph(
            [node], "g",
            [helper.make_tensor_value_info(name, helper.np_dtype_to_tensor_dtype(a.dtype), a.shape)
             for name, a in inputs.items()],
            [helper.make_tensor_value_info(output, getattr(TensorProto, output_type), None)],
            initializer=[numpy_helper.from_array(a, name) for name, a in constants.items()])
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
        inputs = {"x": (x + 128).astype(np.uint8).transpose(2, 0, 1)[None].copy()}
        constants = {"w": np.ascontiguousarray(w[::-1, ::-1].transpose(3, 2, 0, 1)),
                     "xz": np.array(128, np.uint8)}
        node = helper.make_node("ConvInteger", ["x", "w", "xz"], ["y"], strides=[stride, stride],
                                pads=[px0, py0, px1, py1])
        run = self.session(node, inputs, constants, "y")
        return lambda: run()[0].transpose(1, 2, 0)

    def qlinear_conv(self, x, w, stride):
        """The same geometry as QLinearConv: uint8 x + 128 (zero point 128), int8 weights,
        uint8 outputs requantised by a fixed scale."""
        from onnx import helper
        kx, ky, _, _ = w.shape
        out_x, px0, px1 = same_geometry(x.shape[0], kx, stride)
        out_y, py0, py1 = same_geometry(x.shape[1], ky, stride)
        inputs = {"x": (x + 128).astype(np.uint8).transpose(2, 0, 1)[None].copy()}
        constants = {"xs": np.array(1.0, np.float32), "xz": np.array(128, np.uint8),
                     "w": np.ascontiguousarray(w[::-1, ::-1].transpose(3, 2, 0, 1)),
                     "ws": np.array(1.0, np.float32), "wz": np.array(0, np.int8),
                     "ys": np.array(4096.0, np.float32), "yz": np.array(128, np.uint8)}
        node = helper.make_node("QLinearConv", ["x", "xs", "xz", "w", "ws", "wz", "ys", "yz"],
                                ["y"], strides=[stride, stride], pads=[px0, py0, px1, py1])
        run = self.session(node, inputs, constants, "y", output_type="UINT8")
        return lambda: run()[0].transpose(1, 2, 0)

    def matmul(self, a, b):
        """Signed 8-bit a (1, 1, K) by int8 b (K, N) as MatMulInteger on a + 128, zero point 128."""
        from onnx import helper
        node = helper.make_node("MatMulInteger", ["a", "b", "az"], ["y"])
        run = self.session(node, {"a": (a[0] + 128).astype(np.uint8)},
                           {"b": b, "az": np.array(128, np.uint8)}, "y")
        return lambda: run()[None]

    def matmul_int32(self, a, b):
        """int32 a (1, 1, K) by int32 b (K, N) as MatMul (sums wrap in 32 bits: keep them small)."""
        from onnx import helper
        node = helper.make_node("MatMul", ["a", "b"], ["y"])
        run = self.session(node, {"a": a[0]}, {"b": b}, "y")
        return lambda: run()[None]


def same_as(ours):
    return ours


def equal(a, b):
    return a.dtype == b.dtype and np.array_equal(a, b)


def requantized(sums):
    """QLinearConv's output for exact sums under OnnxPeer.qlinear_conv's scales: the sums as
    float32 times 1/4096, rounded half to even, plus the zero point 128, clipped to uint8."""
    scaled = np.rint(sums.astype(np.float32) * np.float32(1 / 4096))
    return np.clip(scaled + 128, 0, 255).astype(np.uint8)


def kernel_cases(rng, peer):
    """name, MACs, {label: callable} with ours first and NumPy's second, precision of the
    limit, {peer label: its exact result as a function of ours}."""
    cases = []
    w = rng.integers(-128, 128, (3, 3, 64, 64), dtype=np.int8)
    conv_macs = 56 * 56 * 64 * 64 * 9
    for label, low, high, precision in [("32-bit", -2**31, 2**31, "int32"),
                                        ("16-bit", -2**15, 2**15, "int16"),
                                        ("8-bit", -128, 128, "int8")]:
        x = rng.integers(low, high, (56, 56, 64), dtype=np.int64).astype(np.int32)
        runs = {"morla": lambda x=x: nn.conv2d(x, w, 1, core.Padding.Same, 32),
                "numpy": lambda x=x: numpy_conv2d(x, w, 1, 32)}
        if peer and label == "8-bit":
            runs["ConvInteger"] = peer.conv(x, w, 1)
            runs["QLinearConv"] = peer.qlinear_conv(x, w, 1)
        cases.append((f"conv2d 56x56x64 * 3x3x64x64 s1 Same, {label} inputs", conv_macs, runs,
                      precision, {"ConvInteger": same_as, "QLinearConv": requantized}))

    x = rng.integers(-2**15, 2**15, (56, 56, 64), dtype=np.int32)
    dw = rng.integers(-128, 128, (3, 3, 64), dtype=np.int8)
    cases.append(("depthwise_conv2d 56x56x64 * 3x3x64 s1", 56 * 56 * 64 * 9,
                  {"morla": lambda: nn.depthwise_conv2d(x, dw, 1),
                   "numpy": lambda: numpy_depthwise(x, dw, 1)}, "int32", {}))

    image = rng.integers(0, 256, (224, 224, 3), dtype=np.uint8)
    iw = rng.integers(-128, 128, (3, 3, 3, 32), dtype=np.int8)
    pads = np.array([1, 2, 3], np.uint8)
    cases.append(("input_conv2d 224x224x3 * 3x3x3x32 s2 Same", 112 * 112 * 32 * 27,
                  {"morla": lambda: nn.input_conv2d(image, iw, 2, core.Padding.Same, pads, 0),
                   "numpy": lambda: numpy_input_conv2d(image, iw, 2, pads)}, "int8", {}))

    # 8-bit values; nn.matmul takes b as int32 (and copies it in), ONNX Runtime's
    # MatMulInteger reads int8, its MatMul the same int32 array.
    a8 = rng.integers(-128, 128, (1, 1, 1024), dtype=np.int32)
    b8 = rng.integers(-128, 128, (1024, 1000), dtype=np.int32)
    runs = {"morla": lambda: nn.matmul(a8, b8, 32, False),
            "numpy": lambda: numpy_matmul(a8, b8, 32)}
    if peer:
        runs["MatMulInteger"] = peer.matmul(a8, b8.astype(np.int8))
        runs["MatMul int32"] = peer.matmul_int32(a8, b8)
    cases.append(("matmul 1x1x1024 * 1024x1000, 8-bit values", 1024 * 1000, runs, None,
                  {"MatMulInteger": same_as, "MatMul int32": same_as}))
    return cases


def elementwise_cases(rng):
    """name, our callable, NumPy's callable (the same result), the call's array arguments
    (the floor copies and reads them)."""
    x = rng.integers(-2**20, 2**20, (56, 56, 64), dtype=np.int32)
    y = rng.integers(-2**20, 2**20, (56, 56, 64), dtype=np.int32)
    scales = rng.integers(1, 256, 64, dtype=np.uint8)
    shifts = rng.integers(-20, -8, 64).astype(np.int8)
    left = rng.integers(0, 4, 64, dtype=np.uint8)
    top = rng.integers(1, 2**20, 64, dtype=np.int32)
    lut = rng.integers(-2**20, 2**20, 2048, dtype=np.int32)
    index = rng.integers(-1024, 1024, (56, 56, 64), dtype=np.int32)
    lut256 = rng.integers(-2**20, 2**20, 256, dtype=np.int32)
    index256 = rng.integers(-128, 128, (56, 56, 64), dtype=np.int32)
    low, high = -2**31, 2**31 - 1

    def rounded(v, s):  # right shift by -s rounding half up, s < 0
        return (v >> -s.astype(np.int64)) + ((v >> (-s.astype(np.int64) - 1)) & 1)

    return [
        ("lshift", lambda: nn.lshift(x, left, 32),
         lambda: np.clip(x.astype(np.int64) << left, low, high).astype(np.int32), [x, left]),
        ("scale_out to 8 bits", lambda: nn.scale_out(x, scales, shifts, 8, 32),
         lambda: np.clip(rounded(np.clip(x.astype(np.int64) * scales, low, high), shifts),
                         -128, 127).astype(np.int8), [x, scales, shifts]),
        ("add", lambda: nn.add(x, y, 32),
         lambda: np.clip(x.astype(np.int64) + y, low, high).astype(np.int32), [x, y]),
        ("relu_activation", lambda: nn.relu_activation(x, top),
         lambda: np.maximum(np.minimum(x, top), 0), [x, top]),
        ("look_up, 2048-entry table", lambda: nn.look_up(lut, index), lambda: lut[index + 1024],
         [lut, index]),
        ("look_up, 256-entry table", lambda: nn.look_up(lut256, index256),
         lambda: lut256[index256 + 128], [lut256, index256]),
        ("max_pooling 2x2", lambda: nn.max_pooling(x, 2, 2, 2, 2, core.Padding.Valid, 32),
         lambda: x.reshape(28, 2, 28, 2, 64).max(axis=(1, 3)), [x]),
        ("global_average_pooling", lambda: nn.global_average_pooling(x, 32),
         lambda: np.clip(x.sum(axis=(0, 1), dtype=np.int64), low, high).astype(np.int32)
         .reshape(1, 1, 64), [x]),
        ("concatenate", lambda: nn.concatenate(x, y), lambda: np.concatenate((x, y), axis=2),
         [x, y]),
    ]


# The classes whose element-wise operations are held to <= 1.5 times their floor.
FLOOR_TARGET_CLASSES = ("avx2", "avx512", "avx512_vnni")


def kernel_paths():
    """bench/paths.cpp built against the project's static libraries (MORLA_BUILD_DIR) and run:
    [(path, case, {label: (min, median)})] in its order; [] with a note when it cannot be
    built."""
    root = rounds.HERE.parent
    libraries = sorted(str(p) for p in pathlib.Path(
        os.environ.get("MORLA_BUILD_DIR", root / "build" / "release")).glob("libmorla_*.a"))
    with tempfile.TemporaryDirectory() as folder:
        floors = rounds.build("floors.cpp", ["-c", "-march=native"], folder)
        program = libraries and floors and rounds.build(
            "paths.cpp", [floors, f"-I{root / 'src'}", "-Wl,--start-group", *libraries,
                          "-Wl,--end-group", "-lflatbuffers", "-lsnappy", "-pthread", "-ldl"],
            folder)
        if not program:
            print("kernel paths skipped: bench/paths.cpp not built (make build first)")
            return []
        out = subprocess.run([program], capture_output=True, text=True, check=True).stdout
    rows = []
    for line in out.splitlines():
        path, case, *timings = line.split("\t")
        rows.append((path, case, {label: tuple(float(v) for v in pair.split(","))
                                  for label, pair in (t.split("=") for t in timings)}))
    return rows


def print_kernel_paths(rows, limits):
    conv_macs = 56 * 56 * 64 * 64 * 9
    print(f"\n{'path':12s} {'element-wise, 56x56x64 int32':30s} {'call (C++)':>20s} "
          f"{'floor':>20s}   call/floor (target <= 1.5 on {', '.join(FLOOR_TARGET_CLASSES)})")
    for path, case, t in rows:
        if "loops" in t:
            continue
        r = rounds.ratio(t["call"], t["floor"])
        verdict = ("" if path not in FLOOR_TARGET_CLASSES else
                   "  MISSED" if r[1] > 1.5 else "  met")
        print(f"{path:12s} {case:30s} {rounds.text(t['call'], 1e6, 'us', 7, 1)} "
              f"{rounds.text(t['floor'], 1e6, 'us', 7, 1)}   {r[0]:4.2f} / {r[1]:4.2f}{verdict}")
    print(f"\n{'path':12s} {'conv2d 56x56x64 * 3x3x64x64, 8-bit':36s} {'whole call (C++)':>20s} "
          f"{'loops alone':>20s} {'floor of copies':>20s}  loops/whole  loops GMAC/s, of limit")
    for path, case, t in rows:
        if "loops" not in t:
            continue
        share = rounds.ratio(t["loops"], t["call"])
        gmacs = conv_macs / t["loops"][1] / 1e9
        limit = f"{gmacs / limits['int8']:.2f} int8" if "int8" in limits else "-"
        print(f"{path:12s} {case:36s} {rounds.text(t['call'])} {rounds.text(t['loops'])} "
              f"{rounds.text(t['floor'])}  {share[0]:4.2f} / {share[1]:4.2f}  {gmacs:6.1f}, {limit}")
    print("call (C++): the module's call without Python: each argument copied into a new tensor, "
          "the operation, the result copied out; loops alone: the kernel on its operands laid out "
          "once (on the portable path, its row loops); the limit is the native class's.")


def main():
    core_id = rounds.pin()
    rng = np.random.default_rng(7)
    limits = rounds.limits()
    print(f"one core (#{core_id}), CPU class {rounds.cpu_class()}")
    exact_limits = {k: v for k, v in limits.items() if k != "u8s8_saturating"}
    print("multiply-add limits in registers, GMAC/s: " +
          (", ".join(f"{k} {v:.1f}" for k, v in exact_limits.items()) or "not measured") +
          ("" if "amx_int8" in limits else " (no AMX tiles on this CPU)") +
          (f"; for information, u8 x s8 vpmaddubsw + vpmaddwd {limits['u8s8_saturating']:.1f} "
           "(its 16-bit pair sums saturate)" if "u8s8_saturating" in limits else ""))
    peer = OnnxPeer.make()
    floors = rounds.Floors()
    ok, any_inexact = True, False
    vnni = rounds.vector_class() == "avx512_vnni"

    print(f"\n{'operation':50s} {'morla ms min / median':>24s} {'GMAC/s':>7s} {'of limit':>13s}  "
          "peers (ms min / median, peer time over ours at the median)")
    for name, macs, runs, precision, peer_exact in kernel_cases(rng, peer):
        results = {label: f() for label, f in runs.items()}
        ours = results["morla"]
        exact = equal(ours, results["numpy"])
        ok = ok and exact
        inexact = {label for label, expected in peer_exact.items()
                   if label in results and not equal(results[label], expected(ours))}
        any_inexact = any_inexact or bool(inexact)
        t = rounds.interleave(runs)
        mine = t["morla"]
        gmacs = macs / mine[1] / 1e9
        share = f"{gmacs / limits[precision]:5.2f} {precision}" if precision in limits else "-"
        peers = "; ".join(f"{label} {rounds.text(t[label])} (x{t[label][1] / mine[1]:.2f})"
                          f"{' INEXACT' if label in inexact else ''}"
                          for label in runs if label != "morla")
        print(f"{name:50s} {rounds.text(mine, width=9)} {gmacs:7.1f} {share:>13s}  {peers}"
              f"{'' if exact else '  RESULTS DIFFER FROM NUMPY'}", flush=True)
        if name.endswith("8-bit inputs"):  # its targets, on AVX-512 VNNI
            figures = [("speed over QLinearConv (constant weights)",
                        t["QLinearConv"][1] / mine[1] if "QLinearConv" in t else None, 0.95),
                       ("share of the int8 limit",
                        gmacs / limits[precision] if precision in limits else None, 0.5)]
            print(f"{'':50s} targets on AVX-512 VNNI{'' if vnni else ' (not this CPU)'}: " +
                  "; ".join(f"{what} {value:.2f}, target >= {target}" +
                            (f" {'met' if value >= target else 'MISSED'}" if vnni else "")
                            for what, value, target in figures if value is not None))
    if any_inexact:
        print("INEXACT: the peer's result differs from the exact one on this CPU (ONNX Runtime's "
              "u8 x s8 kernels saturate their 16-bit pair sums without VNNI); its time is shown "
              "for information and does not fail the bench.")

    # matmul reads b once; the engine holds its own copy of it: one copy plus one read pass.
    a = rng.integers(-2**15, 2**15, (1, 1, 1024), dtype=np.int32)
    b = rng.integers(-2**15, 2**15, (1024, 1000), dtype=np.int32)
    ok = ok and np.array_equal(nn.matmul(a, b, 32, False), numpy_matmul(a, b, 32))
    bound = floors.bound([b], np.empty(0, np.int32))
    t = rounds.interleave({"morla": lambda: nn.matmul(a, b, 32, False), "bound": lambda: bound(b)})
    r = rounds.ratio(t["morla"], t["bound"])
    print(f"\nmatmul 1x1024 * 1024x1000 int32: {rounds.text(t['morla'])} vs one copy + one read "
          f"pass of b {rounds.text(t['bound'])}: x{r[0]:.2f} / x{r[1]:.2f} (target <= 1.1)")

    print(f"\n{'element-wise, 56x56x64 int32':32s} {'morla':>20s} {'floor':>20s} {'numpy':>20s}"
          f"   morla/floor   morla/numpy (targets <= 1.5, <= 1.2)")
    for name, ours, numpy_version, inputs in elementwise_cases(rng):
        result = ours()
        exact = np.array_equal(result, numpy_version()) and result.dtype == numpy_version().dtype
        ok = ok and exact
        floor = floors.bound(inputs, result)
        t = rounds.interleave({"morla": ours, "floor": lambda: floor(*inputs),
                               "numpy": numpy_version})
        to_floor, to_numpy = rounds.ratio(t["morla"], t["floor"]), rounds.ratio(t["morla"], t["numpy"])
        print(f"{name:32s} {rounds.text(t['morla'], 1e6, 'us', 7, 1)} "
              f"{rounds.text(t['floor'], 1e6, 'us', 7, 1)} {rounds.text(t['numpy'], 1e6, 'us', 7, 1)}"
              f"   {to_floor[0]:4.2f} / {to_floor[1]:4.2f}   {to_numpy[0]:4.2f} / {to_numpy[1]:4.2f}"
              f"{'' if exact else '  RESULTS DIFFER'}", flush=True)
    print_kernel_paths(kernel_paths(), limits)
    print("'of limit': GMAC/s at the median over the limit of the precision the inputs fit: "
          "int32 multiply-add; int16 vpdpwssd (AVX-512 VNNI) or vpmaddwd; int8 vpdpbusd "
          "(AVX-512 VNNI) or, exact without it, vpmaddwd on bytes widened to pairs.")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
