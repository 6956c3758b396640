"""Mote: a keyword-spotting-like chain (two StatefulRecurrent layers and a
MotePostProcessing) run in software and mapped on a virtual Mote device."""

import numpy as np

import morla.core as core
from _mapping_report import print_mapping

NP = core.NP
rng = np.random.default_rng(0)
STEPS, CHANNELS, STATES = 16, 32, 16


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


# Inputs are (x, timesteps, channels): here one row of 16 steps of 32 8-bit features.
model = core.Model()
model.add(layer(core.InputData, "features", input_width=1, input_height=STEPS,
                input_channels=CHANNELS))
model.add(layer(core.StatefulRecurrent, "sr1", stateful_channels=STATES, output_channels=8,
                activation=int(core.ActivationType.ReLU)))
model.add(layer(core.StatefulRecurrent, "sr2", stateful_channels=STATES, output_channels=1))
model.add(layer(core.MotePostProcessing, "change"))

# Each state keeps half of itself per step (A_real 1, internal_state_outputs_shift -1) and
# rotates by A_imag; new_state_shift -4 brings the states to 8 bits for out_proj
# (README "Quantisation conventions").
for name, inputs, outputs in (("sr1", CHANNELS, 8), ("sr2", 8, 1)):
    v = model.get_layer(name).variables
    v["in_proj"] = rng.integers(-3, 4, (STATES, inputs)).astype(np.int8)
    v["out_proj"] = rng.integers(-3, 4, (outputs, STATES)).astype(np.int8)
    v["A_real"] = np.ones(STATES, np.int16)
    v["A_imag"] = rng.integers(-1, 1, STATES).astype(np.int16)
    v["internal_state_outputs_shift"] = np.full(STATES, -1, np.int8)
    v["new_state_scale"] = np.ones(STATES, np.uint8)
    v["new_state_shift"] = np.full(STATES, -4, np.int8)
sr1 = model.get_layer("sr1").variables
sr1["output_shift"] = np.full(8, -3, np.int8)
# The tail: mean absolute step-to-step change of sr2's output, against a threshold.
change = model.get_layer("change").variables
change["input_scales"] = np.ones(1, np.uint16)
change["threshold"] = np.array([12], np.uint16)

features = rng.integers(0, 128, (4, 1, STEPS, CHANNELS)).astype(np.uint8)
print("software: change detected per input:", model.forward(features).ravel().tolist())
raw = core.Model([model.get_layer(name) for name in ("features", "sr1", "sr2")])
print("          sr2 outputs of input 0:", raw.forward(features[:1]).ravel().tolist())

# A virtual Mote device: one TNP-R (the recurrent engine) at NP.Ident(0, 0, 0), which is
# also where both DMAs are; no HRC, no other NP, no skip DMA. NP.SramSize_mote gives the
# four TNP-R memories in words (STSRAM, FSRAM, TSRAM, EVSRAM; also the default).
mesh = NP.Mesh(core.mote, NP.Ident(0, 0, 0), NP.Ident(0, 0, 0), None,
               [NP.Info(NP.Ident(0, 0, 0), [NP.TNP_R])], np_sram_size=NP.SramSize_mote)
model._map(core.Device(core.Mote_FPGA, mesh))
print_mapping(model)
print("(the TNP-R is listed on the first StatefulRecurrent only: the layers after it join "
      "its chain)")
