"""IP v1: a small digit-sized classifier (InputConvolutional -> Convolutional ->
FullyConnected) run in software and mapped on a virtual Orbi v2 board."""

import numpy as np

import morla.core as core
from _mapping_report import print_mapping

NP = core.NP
rng = np.random.default_rng(0)


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


model = core.Model()
# 16x16 grey images, 8-bit; the HRC convolves them (3x3, 8 filters) with max pooling 2x2
# and gives 1-bit activations.
model.add(layer(core.InputConvolutional, "hrc", input_width=16, input_height=16,
                input_channels=1, kernel_width=3, kernel_height=3, filters=8,
                pool_type=int(core.PoolType.Max), pooling_width=2, pooling_height=2))
model.add(layer(core.Convolutional, "conv", kernel_width=3, kernel_height=3, filters=16,
                weights_bits=2, act_bits=2))
model.add(layer(core.FullyConnected, "classes", units=10, weights_bits=1, activation=0))

# Weights as Python sees them: (kh, kw, C, F) on the HRC, (kw, kh, C, F) and (inputs, F)
# for the CNP and FNP layers (README, "Layer types").
for item in model.layers:
    weights = item.variables["weights"]
    low, high = {"hrc": (-128, 127), "conv": (-1, 1), "classes": (0, 1)}[item.name]
    item.variables["weights"] = rng.integers(low, high + 1, weights.shape).astype(np.int8)
    print(f"{item.name:<8} weights {weights.shape}, outputs {tuple(item.output_dims)}")
model.get_layer("hrc").variables["threshold"] = np.full(8, 200, np.int32)
conv = model.get_layer("conv").variables
conv["threshold"] = np.full(16, 4, np.int32)
conv["act_step"] = np.full(16, 0.5, np.float32)  # levels every 16 x 0.5 / 4 = 2 units

images = rng.integers(0, 256, (4, 16, 16, 1)).astype(np.uint8)
potentials = model.forward(images)
print("software: class potentials of 4 images, shape", potentials.shape)
print(potentials.reshape(4, -1))

# The virtual board: the Orbi v2 chip (IP v1) as the board simulator plays it by default
# (`board_sim`), the same mesh that `devices()` reads from that board.
# - the DMA node sits at column 1, row 1 and holds no NP: the event DMA and the
#   configuration DMA are both id 0 there (NP.Ident(col, row, id));
# - the HRC (input convolutions) has no look-up table;
# - three NPs, one per remaining node, each a CNP with a look-up table; the one at
#   column 2, row 2 also runs fully connected layers (FNP3: weights inside the NP);
# - the shared SRAM sizes are the IP v1 defaults (NP.SramSize_v1).
mesh = NP.Mesh(core.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 0), NP.Info.hrc(False),
               [NP.Info(NP.Ident(1, 2, 0), [NP.CNP1], True),
                NP.Info(NP.Ident(2, 1, 0), [NP.CNP1], True),
                NP.Info(NP.Ident(2, 2, 0), [NP.CNP1, NP.FNP3], True)])
model._map(core.Device(core.Orbi_v2, mesh))
print_mapping(model)
print("a device without hardware runs the mapped model in software; same outputs:",
      bool((model.forward(images) == potentials).all()))
