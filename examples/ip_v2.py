"""IP v2: a small CNN over a sequence of frames (InputConv2D -> Conv2D -> DepthwiseConv2D +
skip -> Conv2D -> BufferTempConv -> Dense1D) run in software and mapped on a virtual IP v2
device."""

import numpy as np

import morla.core as core
from _mapping_report import print_mapping

NP = core.NP
rng = np.random.default_rng(0)


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


model = core.Model()
model.add(layer(core.InputConv2D, "hrc", input_width=32, input_height=32, input_channels=3,
                kernel_size=3, filters=16, kernel_stride=2))
model.add(layer(core.Conv2D, "conv1", kernel_size=3, filters=16))
model.add(layer(core.DepthwiseConv2D, "dw", kernel_size=3))
model.add(layer(core.Add, "skip"), [model.get_layer("dw"), model.get_layer("conv1")])
model.add(layer(core.Conv2D, "conv2", kernel_size=3, filters=32, kernel_stride=2))
# A temporal layer (TNP-B): each output mixes the last 4 frames of the call at its position.
model.add(layer(core.BufferTempConv, "temporal", fifo_size=4, filters=32))
model.add(layer(core.Dense1D, "classes", units=10, activation=0))

# Small random weights, and after every layer a scale-down that keeps its 8-bit outputs in
# range: each output is round(sum x output_scales x 2^output_shift) (README "Quantisation
# conventions"); the shifts were picked on random images.
output_shifts = {"hrc": -7, "conv1": -4, "dw": -3, "conv2": -5, "temporal": -3, "classes": -7}
for item in model.layers:
    variables = item.variables
    if item.name in output_shifts:
        variables["weights"] = rng.integers(-4, 5, variables["weights"].shape).astype(np.int8)
        channels = variables["output_shift"].shape
        variables["output_shift"] = np.full(channels, output_shifts[item.name], np.int8)
    print(f"{item.name:<8} outputs {tuple(item.output_dims)}")

images = rng.integers(0, 256, (2, 32, 32, 3)).astype(np.uint8)
scores = model.forward(images)
print("software: scores of 2 images,", scores.dtype, scores.reshape(2, -1).tolist())

# A virtual IP v2 device (NP.Ident(col, row, id)):
# - the DMA node at column 0, row 1: event DMA id 0, configuration DMA id 1;
# - an HRC with a look-up table;
# - columns 1 to 4, rows 1 and 2, two NPs per node, each a CNP (CNP1 and CNP2 kinds of
#   convolution) or a TNP-B, all with look-up tables; an FNP3 (Dense1D, weights inside
#   the NP) at column 5; an FNP2 would read its weights from external memory instead;
# - two skip DMAs (they carry Add and Concatenate) at columns 1 and 2, row 1, id 3, on
#   channel 4, as the device reports them;
# - the shared SRAM of the IP v2 chip, per two NPs (NP.SramSize_v2, also the default).
nps = [NP.Info(NP.Ident(col, row, i), [NP.CNP1, NP.CNP2, NP.TNP_B], True)
       for col in range(1, 5) for row in (1, 2) for i in range(2)]
nps.append(NP.Info(NP.Ident(5, 1, 0), [NP.FNP3], True))
skip_dmas = [NP.Info(NP.Ident(col, 1, 3, 4), [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD])
             for col in (1, 2)]
mesh = NP.Mesh(core.v2, NP.Ident(0, 1, 0), NP.Ident(0, 1, 1), NP.Info.hrc(True), nps,
               skip_dmas, np_sram_size=NP.SramSize_v2)
model._map(core.Device(core.FPGA_v2, mesh))
print_mapping(model)
