"""Model in software, on one pinned core with every case timed round by round beside its
reference (bench/rounds.py): forward throughput of a small CNN against the same reference
operations called one by one from NumPy (results checked equal); the 224x224 model's
classifier (Dense1D of 14x14x64 inputs) alone against nn.matmul of its shape plus its neuron
steps; frames/s of a 224x224x3
model (4 Conv2D, 2 DepthwiseConv2D, Dense1D), and its peak memory at 1 and 128 frames;
.fbz save/load of a model with 10 MB of weights against their floors on the same bytes,
built from the snappy C library the project links (bench/floors.cpp): load against read +
uncompress, save against compress + write + fsync. Figures: min / median of the rounds."""
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import rounds
from morla import core

nn = core.nn
FRAMES = 32


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


def cnn(rng, size, layers, bias=True):
    """InputData (size, size, 3), the given (filters, stride) Conv2D layers (filters None: a
    DepthwiseConv2D), Dense1D of 10, with small random weights."""
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=size, input_height=size, input_channels=3))
    for i, (filters, stride) in enumerate(layers):
        if filters is None:
            m.add(layer(core.DepthwiseConv2D, f"d{i + 1}", kernel_size=3, kernel_stride=stride))
        else:
            m.add(layer(core.Conv2D, f"c{i + 1}", kernel_size=3, filters=filters,
                        kernel_stride=stride))
    m.add(layer(core.Dense1D, "fc", units=10, activation=0))
    return with_random_variables(m, rng, bias)


def with_random_variables(m, rng, bias=True):
    """Small random weights (and biases) in every layer after the input, outputs shifted 4
    bits right."""
    for lay in m.layers[1:]:
        v = lay.variables
        v["weights"] = rng.integers(-3, 4, v["weights"].shape).astype(np.int8)
        if bias:
            v["bias"] = rng.integers(-8, 8, v["bias"].shape).astype(np.int8)
        v["output_shift"] = np.full(v["output_shift"].shape, -4, np.int8)
    return m


def small_cnn(rng):
    return cnn(rng, 32, [(32, 1), (64, 2), (64, 2)])


def ops_forward(model):
    """The composition of each layer, one nn operation call at a time, with the variables
    read and converted once: a callable from frames to the stacked outputs."""
    steps = []
    for lay in model.layers[1:]:
        p = lay.parameters
        v = {n: lay.variables[n] for n in lay.variables.names}
        dense = p.layer_type == core.Dense1D
        weights = v["weights"].astype(np.int32) if dense else v["weights"]
        bias = nn.lshift(v["bias"].astype(np.int32), v["bias_shift"], 32)
        top = (nn.lshift(v["max_value"].astype(np.int32), v["max_value_shift"], 32)
               if p.activation == 1 else None)

        def step(x, p=p, v=v, dense=dense, weights=weights, bias=bias, top=top):
            if dense:
                x = nn.lshift(x.reshape(1, 1, -1).astype(np.int32), v["input_shift"], 32)
                x = nn.matmul(x, weights, 32, False)
            else:
                x = nn.lshift(x.astype(np.int32), v["input_shift"], 32)
                x = nn.conv2d(x, weights, p.kernel_stride, core.Same, 32)
            x = nn.add(x, bias, 32)
            if top is not None:
                x = nn.relu_activation(x, top)
            return nn.scale_out(x, v["output_scales"], v["output_shift"], p.output_bits, 32)
        steps.append(step)

    def run(frames):
        outputs = []
        for x in frames:
            for step in steps:
                x = step(x)
            outputs.append(x)
        return np.stack(outputs)
    return run


def forward_benchmark():
    rng = np.random.default_rng(0)
    model = small_cnn(rng)
    frames = rng.integers(0, 256, (FRAMES, 32, 32, 3)).astype(np.uint8)
    ops = ops_forward(model)
    out, expected = model.forward(frames), ops(frames)
    assert np.array_equal(out.reshape(expected.shape), expected), "results differ"
    t = rounds.interleave({"model": lambda: model.forward(frames),
                           "ops": lambda: ops(frames)}, at_least=0)
    fps = {k: (FRAMES / v[0], FRAMES / v[1]) for k, v in t.items()}
    print(f"forward {FRAMES} frames 32x32x3 -> 3 Conv2D -> Dense1D: model "
          f"{fps['model'][0]:8.1f} /{fps['model'][1]:8.1f} frames/s, the ops one by one from "
          f"NumPy {fps['ops'][0]:8.1f} /{fps['ops'][1]:8.1f} frames/s (best / median)")

    dense = dense_model(np.random.default_rng(4))
    frames = np.random.default_rng(5).integers(0, 256, (FRAMES, 14, 14, 64), dtype=np.uint8)
    one, ops = frames[:1], ops_forward(dense)
    assert np.array_equal(dense.forward(one).reshape(1, -1), ops(one).reshape(1, -1)), \
        "results differ"
    a = one.reshape(1, 1, -1).astype(np.int32)
    weights = dense.layers[1].variables["weights"].astype(np.int32)
    t = rounds.interleave({"batch": lambda: dense.forward(frames), "one": lambda: dense.forward(one),
                           "ops": lambda: ops(one),
                           "matmul": lambda: nn.matmul(a, weights, 32, False)})
    one_to_ops = rounds.ratio(t["one"], t["ops"])
    print(f"forward 14x14x64 -> Dense1D(10): {FRAMES / t['batch'][0]:8.1f} /"
          f"{FRAMES / t['batch'][1]:8.1f} frames/s in {FRAMES}-frame calls; one frame "
          f"{rounds.text(t['one'])} vs nn.matmul of the same shape plus its neuron steps "
          f"{rounds.text(t['ops'])}: x{one_to_ops[0]:.2f} / x{one_to_ops[1]:.2f} (target <= 1.3); "
          f"nn.matmul alone {rounds.text(t['matmul'])}")

    large = large_cnn(np.random.default_rng(2))
    inputs = np.random.default_rng(3).integers(0, 256, (16, 224, 224, 3), dtype=np.uint8)
    t = rounds.interleave({"model": lambda: large.forward(inputs)}, at_least=0)["model"]
    print(f"forward 16 frames 224x224x3 -> 4 Conv2D, 2 DepthwiseConv2D -> Dense1D: "
          f"{16 / t[0]:7.1f} / {16 / t[1]:7.1f} frames/s (best / median)")


def dense_model(rng):
    """The classifier of the 224x224 model alone: InputData 14x14x64, Dense1D of 10."""
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=14, input_height=14, input_channels=64))
    m.add(layer(core.Dense1D, "fc", units=10, activation=0))
    return with_random_variables(m, rng)


def large_cnn(rng):
    """224x224x3 frames through four strided convolutions, two depthwise ones between them,
    and a dense layer."""
    return cnn(rng, 224, [(16, 2), (None, 1), (32, 2), (None, 1), (64, 2), (64, 2)], bias=False)


def memory_child(frames):
    """In a fresh interpreter: forward of `frames` frames; prints the growth of the peak
    resident set over the forward call, the output array's size and the frames/s."""
    rng = np.random.default_rng(2)
    model = large_cnn(rng)
    inputs = rng.integers(0, 256, (frames, 224, 224, 3), dtype=np.uint8)
    model.forward(inputs[:1])  # first-call allocations out of the measurement
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    out = model.forward(inputs)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"growth": (after - before) * 1024, "output": out.nbytes,
                      "input": inputs.nbytes, "fps": frames / seconds}))


def memory_benchmark():
    results = {}
    for frames in (1, 128):
        runs = []
        for _ in range(3):
            out = subprocess.run([sys.executable, __file__, "--memory", str(frames)],
                                 capture_output=True, text=True, check=True)
            runs.append(json.loads(out.stdout.strip().splitlines()[-1]))
        results[frames] = runs
        growth = [r["growth"] / 2**20 for r in runs]
        beyond = [(r["growth"] - r["output"]) / 2**20 for r in runs]
        fps = [r["fps"] for r in runs]
        print(f"forward {frames:3d} frames 224x224x3 -> 4 Conv2D, 2 DepthwiseConv2D -> Dense1D: "
              f"{min(fps):7.1f} / {statistics.median(fps):7.1f} frames/s (min / median); peak RSS "
              f"growth {min(growth):6.2f} / {statistics.median(growth):6.2f} MiB, beyond the "
              f"output array {min(beyond):6.2f} / {statistics.median(beyond):6.2f} MiB "
              f"(the input copy the call makes: {runs[0]['input'] / 2**20:.2f} MiB)")


def file_benchmark():
    rng = np.random.default_rng(1)
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=40, input_height=40, input_channels=2))
    model.add(layer(core.Dense1D, "big", units=3125))  # 3200 x 3125 = 10 MB of int8 weights
    weights = model.get_layer("big").variables
    weights["weights"] = rng.integers(-128, 128, weights["weights"].shape).astype(np.int8)
    buffer = model.to_buffer()
    floors = rounds.Floors()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "big.fbz")
        bare = os.path.join(folder, "bare.fbz")
        model.save(path)
        assert core.Model(path).to_buffer() == buffer
        size = os.path.getsize(path)
        t = rounds.interleave({"save": lambda: model.save(path),
                               "save floor": lambda: floors.fbz_save(bare, buffer),
                               "load": lambda: core.Model(path),
                               "load floor": lambda: floors.fbz_load(path)}, at_least=0)
    save, load = rounds.ratio(t["save"], t["save floor"]), rounds.ratio(t["load"], t["load floor"])
    print(f"save {len(buffer) / 1e6:.1f} MB model: {rounds.text(t['save'])} vs compress + write + "
          f"fsync {rounds.text(t['save floor'])}: x{save[0]:.2f} / x{save[1]:.2f} (target <= 1.1)")
    print(f"load {len(buffer) / 1e6:.1f} MB model ({size / 1e6:.1f} MB file): {rounds.text(t['load'])} "
          f"vs read + uncompress {rounds.text(t['load floor'])}: x{load[0]:.2f} / x{load[1]:.2f} "
          f"(target <= 1.2)")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--memory":
        memory_child(int(sys.argv[2]))
        return 0
    print(f"one core (#{rounds.pin()}), CPU class {rounds.cpu_class()}")
    forward_benchmark()
    memory_benchmark()
    file_benchmark()
    return 0


if __name__ == "__main__":
    sys.exit(main())
