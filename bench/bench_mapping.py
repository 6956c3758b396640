"""Mapping: the time to map a model and build its device program on a device without
hardware, per model and per layer, with the program size. (a) a 10-layer IP v1 model
(input convolution, eight convolutions, a classifier) on a 16-NP mesh; (b) a 30-layer
MobileNet-like IP v2 model at 224x224 on a 33-NP mesh, when the build has an IP v2 back
end."""
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
    """MobileNet-like at 224x224: an input convolution of stride 2, fourteen depthwise and
    pointwise pairs (stride 2 at the usual places), a classifier: 30 layers."""
    m = core.Model()
    m.add(layer(core.InputConv2D, "hrc", input_width=224, input_height=224, input_channels=3,
                kernel_size=3, kernel_stride=2, filters=32))
    for block, (stride, out) in enumerate([(1, 64), (2, 128), (1, 128), (2, 256), (1, 256),
                                           (2, 512), (1, 512), (1, 512), (1, 512), (1, 512),
                                           (1, 512), (2, 1024), (1, 1024), (1, 1024)]):
        m.add(layer(core.DepthwiseConv2D, f"dw{block}", kernel_size=3, kernel_stride=stride))
        last = block == 13
        m.add(layer(core.Conv2D, f"pw{block}", kernel_size=1, filters=out,
                    pool_type=2 if last else 0, pool_size=-1 if last else 1))
    m.add(layer(core.Dense1D, "fc", units=1000, activation=0))
    for item in m.layers:
        v = item.variables
        v["weights"] = rng.integers(-3, 4, v["weights"].shape).astype(v["weights"].dtype)
    return m


def v2_device():
    """Eight columns of two rows of two NPs, an HRC, an FNP and two skip DMAs."""
    nps = [NP.Info(NP.Ident(c, r, i), [NP.CNP1, NP.CNP2, NP.TNP_B], True)
           for c in range(1, 9) for r in (1, 2) for i in range(2)]
    nps.append(NP.Info(NP.Ident(9, 1, 0), [NP.FNP3], True))
    skip = []
    for col in (1, 2):
        ident = NP.Ident(col, 3, 0)
        ident.channel = 4
        skip.append(NP.Info(ident, [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD], False))
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(0, 1, 0), NP.Ident(0, 1, 1), NP.Info.hrc(True),
                   nps, skip)
    return core.Device(core.FPGA_v2, mesh)


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
          f"{best / layers:.3f} ms per layer")


def main():
    rng = np.random.default_rng(0)
    bench("(a) IP v1, 10 layers", v1_model(rng), v1_device())
    name = "(b) IP v2 MobileNet-like at 224x224, target under 100 ms"
    try:
        bench(name, v2_model(rng), v2_device())
    except RuntimeError as error:
        if "Unsupported IP version" not in str(error):
            raise
        print(f"{name}: skipped, no IP v2 back end in this build")


if __name__ == "__main__":
    main()
