"""A first look at morla: the module, its engine and the known devices."""

import morla
import morla.core as core

print(f"morla {morla.__version__} (engine {core.__version__})")
print(core.__doc__)
print()
print("Known devices:")
for name in ("Orbi_v1", "Orbi_v2", "TwoNodesIP_v1", "MRL7700_v1", "FPGA_v2", "Mote_FPGA"):
    version = getattr(core, name)
    print(f"  {name:<14} {version}  IP {version.ip_version.name}")
print()
print("Clock modes:", ", ".join(f"{m.name} {m.value / 1e6:g} MHz"
                                for m in core.soc.ClockMode.__members__.values()))

# A small model: build it, save and reload it, run it on generated data.
import os
import tempfile

import numpy as np


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


rng = np.random.default_rng(0)
model = core.Model()
model.add(layer(core.InputData, "input", input_width=8, input_height=8, input_channels=1,
                input_bits=1))
model.add(layer(core.FullyConnected, "classifier", units=8, weights_bits=1, activation=0))
model.compile(core.MorlaUnsupervised(num_weights=16, num_classes=4))

prototypes = np.zeros((4, 64), np.uint8)
for c, inputs in enumerate(rng.permutation(64).reshape(4, 16)):
    prototypes[c, inputs] = 1


def samples(count):
    labels = rng.integers(0, 4, count).astype(np.int32)
    data = prototypes[labels].copy()
    for row in data:
        row[rng.choice(64, 3, replace=False)] ^= 1
    return data.reshape(count, 8, 8, 1), labels


train_x, train_y = samples(40)
test_x, test_y = samples(100)
print()
print(f"Model: {model.layer_count} layers, input {model.input_shape}, "
      f"output {model.output_shape}, {model.macs} MACs")
print(f"accuracy before learning: {model.evaluate(test_x, test_y, num_classes=4):.2f}")
model.fit(train_x, train_y)
print(f"accuracy after learning:  {model.evaluate(test_x, test_y, num_classes=4):.2f}")

with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "quickstart.fbz")
    model.save(path)
    reloaded = core.Model(path)
    print(f"saved {os.path.getsize(path)} bytes; reloaded model identical: "
          f"{reloaded.to_buffer() == model.to_buffer()}")
outputs = reloaded.forward(test_x[:3])
print("forward of 3 inputs (potentials):")
print(outputs.reshape(3, -1))
print("metrics:", {name: reloaded.metrics[name] for name in sorted(reloaded.metrics.names)})

# Mapping on a device without hardware shows where the layers go and what the device
# program needs. The mesh is the Orbi v2 board's (IP v1) as `board_sim` plays it by
# default: the DMA node at column 1, row 1 (event and configuration DMA both id 0), the
# HRC, and three CNPs with look-up tables, the last one also fully connected (FNP3).
# examples/ip_v1.py, ip_v2.py and mote.py explain the mesh of each IP generation.
NP = core.NP
mesh = NP.Mesh(core.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 0), NP.Info.hrc(False),
               [NP.Info(NP.Ident(1, 2, 0), [NP.CNP1], True),
                NP.Info(NP.Ident(2, 1, 0), [NP.CNP1], True),
                NP.Info(NP.Ident(2, 2, 0), [NP.CNP1, NP.FNP3], True)])
device = core.Device(core.Orbi_v2, mesh)
reloaded._map(device)
print()
print(f"Mapped on {device.desc}:")
for sequence in reloaded.sequences:
    print(f"  sequence {sequence.name} ({sequence.backend.name})")
    for number, hw_pass in enumerate(sequence.passes, 1):
        print(f"    pass {number}: {', '.join(item.name for item in hw_pass.layers)}")
    if sequence.program is not None:
        parts = sequence.program_parts
        print(f"    program: {len(sequence.program)} bytes (info {len(parts.program_info)}, "
              f"data {len(parts.program_data)})")
        print(f"    {core.get_program_memory_infos(sequence.program)}")
for item in reloaded.layers:
    if item.mapping is not None and item.mapping.nps:
        print(f"  {item.name}: " + ", ".join(f"{c.type.name} at {c.ident}"
                                             for c in item.mapping.nps))
print("components:", {kind.name: count for kind, count in reloaded.component_count.items()})
print("mapped model forward equals software:",
      bool((reloaded.forward(test_x[:3]) == outputs).all()))

print()
boards = core.devices()
print(f"Attached boards: {len(boards) or 'none'}")
for board in boards:
    # Only a board over USB has the SoC side (clock modes, power measurement).
    clock = f", clock {board.soc.clock_mode.name}" if board.soc is not None else ""
    print(f"  {board.desc}: {board.version}, IP {board.ip_version.name}, "
          f"{len(board.mesh.nps)} NPs{clock}")
