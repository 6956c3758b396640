"""Model in software: forward throughput of a small CNN against the same reference
operations called one by one from NumPy (results checked equal), and .fbz save/load of a
model with 10 MB of weights against a bare snappy compress/decompress of the same bytes."""
import os
import sys
import tempfile
import time

import numpy as np
import snappy

from morla import core

nn = core.nn
FRAMES = 32
REPEATS = 5


def best_time(function, repeats=REPEATS):
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


def small_cnn(rng):
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=32, input_height=32, input_channels=3))
    m.add(layer(core.Conv2D, "c1", kernel_size=3, filters=32))
    m.add(layer(core.Conv2D, "c2", kernel_size=3, filters=64, kernel_stride=2))
    m.add(layer(core.Conv2D, "c3", kernel_size=3, filters=64, kernel_stride=2))
    m.add(layer(core.Dense1D, "fc", units=10, activation=0))
    for lay in m.layers[1:]:
        v = lay.variables
        v["weights"] = rng.integers(-3, 4, v["weights"].shape).astype(np.int8)
        v["bias"] = rng.integers(-8, 8, v["bias"].shape).astype(np.int8)
        v["output_shift"] = np.full(v["output_shift"].shape, -4, np.int8)
    return m


def numpy_forward(model, frames):
    """The composition of each layer, one nn operation call at a time."""
    layers = model.layers[1:]
    params = [(lay.parameters, {n: lay.variables[n] for n in lay.variables.names})
              for lay in layers]
    outputs = []
    for x in frames:
        x = x.astype(np.int32)
        for p, v in params:
            if p.layer_type == core.Dense1D:
                x = nn.lshift(x.reshape(1, 1, -1).astype(np.int32), v["input_shift"], 32)
                x = nn.matmul(x, v["weights"].astype(np.int32), 32, False)
            else:
                x = nn.lshift(x.astype(np.int32), v["input_shift"], 32)
                x = nn.conv2d(x, v["weights"], p.kernel_stride, core.Same, 32)
            bias = nn.lshift(v["bias"].astype(np.int32), v["bias_shift"], 32)
            x = nn.add(x, bias, 32)
            if p.activation == 1:
                top = nn.lshift(v["max_value"].astype(np.int32), v["max_value_shift"], 32)
                x = nn.relu_activation(x, top)
            x = nn.scale_out(x, v["output_scales"], v["output_shift"], p.output_bits, 32)
        outputs.append(x)
    return np.stack(outputs)


def forward_benchmark():
    rng = np.random.default_rng(0)
    model = small_cnn(rng)
    frames = rng.integers(0, 256, (FRAMES, 32, 32, 3)).astype(np.uint8)
    engine, out = best_time(lambda: model.forward(frames))
    bare, expected = best_time(lambda: numpy_forward(model, frames))
    assert np.array_equal(out.reshape(expected.shape), expected), "results differ"
    print(f"forward {FRAMES} frames 32x32x3 -> 3 Conv2D -> Dense1D: "
          f"model {FRAMES / engine:8.1f} frames/s, ops from NumPy {FRAMES / bare:8.1f} frames/s, "
          f"overhead {100 * (engine / bare - 1):+.1f} %")


def file_benchmark():
    rng = np.random.default_rng(1)
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=40, input_height=40, input_channels=2))
    model.add(layer(core.Dense1D, "big", units=3125))  # 3200 x 3125 = 10 MB of int8 weights
    weights = model.get_layer("big").variables
    weights["weights"] = rng.integers(-128, 128, weights["weights"].shape).astype(np.int8)
    buffer = model.to_buffer()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "big.fbz")
        save, _ = best_time(lambda: model.save(path))
        load, loaded = best_time(lambda: core.Model(path))
        content = open(path, "rb").read()
    compress, _ = best_time(lambda: snappy.compress(buffer))
    decompress, _ = best_time(lambda: snappy.decompress(content))
    assert loaded.to_buffer() == buffer
    print(f"save {len(buffer) / 1e6:.1f} MB model: {1e3 * save:7.2f} ms vs snappy compress "
          f"{1e3 * compress:7.2f} ms (x{save / compress:.2f})")
    print(f"load {len(buffer) / 1e6:.1f} MB model: {1e3 * load:7.2f} ms vs snappy decompress "
          f"{1e3 * decompress:7.2f} ms (x{load / decompress:.2f})")


def main():
    forward_benchmark()
    file_benchmark()
    return 0


if __name__ == "__main__":
    sys.exit(main())
