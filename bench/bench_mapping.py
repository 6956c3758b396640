"""Mapping: the time to map a model and build its device program on a device without
hardware, per model and per layer, with the program size. (a) a 10-layer IP v1 model
(input convolution, eight convolutions, a classifier) on a 16-NP mesh; (b) a 30-layer
MobileNet-like IP v2 model at 224x224 on a 128-NP v2 mesh."""
import time

import numpy as np

from morla import core

NP = core.NP
REPEATS = int(__import__("os").environ.get("MORLA_BENCH_REPEATS", "20"))


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


def v1_model(rng):
    m = core.Model()
    m.add(layer(core.InputConvolutional, "hrc", input_width=64, input_height=64,
                input_channels=1, kernel_width=3, kernel_height=3, filters=16))
    for i in range(8):
        m.add(layer(core.Convolutional, f"conv{i}", kernel_width=3, kernel_height=3, filters=16,
                    stride_x=2 if i in (2, 5) else 1, stride_y=2 if i in (2, 5) else 1))
    m.add(layer(core.FullyConnected, "fc", units=10, weights_bits=1))
    for item in m.layers:
        v = item.variables
        v["weights"] = rng.integers(0, 2, v["weights"].shape).astype(v["weights"].dtype)
    return m


def v1_device():
    nps = [NP.Info(NP.Ident(col, row, 0), [NP.CNP1], True)
           for col in range(1, 5) for row in range(1, 5) if (col, row) != (1, 1)]
    nps.append(NP.Info(NP.Ident(5, 1, 0), [NP.CNP1, NP.FNP3], True))
    mesh = NP.Mesh(core.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), NP.Info.hrc(False), nps)
    return core.Device(core.TwoNodesIP_v1, mesh)


def v2_model(rng):
    """Input convolution, 13 depthwise-separable blocks, two 1x1 convolutions (the second
    with global average pooling), a classifier: 30 layers."""
    m = core.Model()
    m.add(layer(core.InputConv2D, "hrc", input_width=224, input_height=224, input_channels=3,
                kernel_size=3, kernel_stride=2, filters=32))
    blocks = [(64, 1), (128, 2), (128, 1), (256, 2), (256, 1), (512, 2)] + [(512, 1)] * 5 + [
        (1024, 2), (1024, 1)]
    for i, (filters, stride) in enumerate(blocks):
        m.add(layer(core.DepthwiseConv2D, f"dw{i}", kernel_size=3, kernel_stride=stride))
        m.add(layer(core.Conv2D, f"pw{i}", kernel_size=1, filters=filters))
    m.add(layer(core.Conv2D, "mix", kernel_size=1, filters=512))
    m.add(layer(core.Conv2D, "head", kernel_size=1, filters=256, pool_type=2, pool_size=-1))
    m.add(layer(core.Dense1D, "fc", units=100))
    for item in m.layers:
        v = item.variables
        v["weights"] = rng.integers(-8, 8, v["weights"].shape).astype(v["weights"].dtype)
    return m


def v2_device():
    nps = [NP.Info(NP.Ident(col, row, i), [NP.CNP1, NP.CNP2], True)
           for col in range(1, 9) for row in range(1, 5) for i in range(4)]
    nps.append(NP.Info(NP.Ident(9, 1, 0), [NP.FNP2, NP.FNP3], True))
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(0, 1, 0), NP.Ident(0, 1, 1), NP.Info.hrc(True), nps)
    return core.Device(core.HwVersion(0x4B, 0xA2, 1, 0), mesh)


def bench(name, model, device):
    layers = model.layer_count
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        model._map(device, hw_only=True)
        times.append(time.perf_counter() - start)
    best = min(times) * 1e3
    median = sorted(times)[len(times) // 2] * 1e3
    program = sum(len(s.program) for s in model.sequences)
    print(f"{name}: {layers} layers, {len(model.sequences)} sequence(s), "
          f"{sum(len(s.passes) for s in model.sequences)} pass(es), program {program} bytes")
    print(f"  map + program: best {best:.2f} ms, median {median:.2f} ms per model; "
          f"{best / layers:.3f} ms per layer; best {best / (program / 1e6):.2f} ms per MB "
          f"of program")


def main():
    rng = np.random.default_rng(0)
    bench("(a) IP v1, 10 layers", v1_model(rng), v1_device())
    bench("(b) IP v2 MobileNet-like, 30 layers at 224x224", v2_model(rng), v2_device())


if __name__ == "__main__":
    main()
