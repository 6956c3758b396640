"""The words an FNP of an IP v2 program receives for a Dense1D layer, checked whole: the
input-shift image and the weight image with each neuron's parameters, in the three input
layouts (flat, byte runs, word runs), 4- and 8-bit inputs and weights, on an FNP3 (weights in
the NP program) and an FNP2 (weights in the program's external block), compared word for word
with the references of v2_layout_refs."""

import numpy as np
import pytest

import morla.core as core
from map_models import NP, layer, program_reader
from test_map_v2 import v2_device
from v2_layout_refs import (fill, fnp_input_shifts, fnp_weights, np_images, pass_records)


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    return program_reader(tmp_path_factory.mktemp("reader"))


# (FNP, input (x, y, c), input bits, a Conv2D's filters before the Dense1D (None: none),
#  units, weight bits, activation, layout)
CASES = [
    (NP.FNP3, (1, 1, 37), 8, None, 5, 8, 1, 1),
    (NP.FNP3, (3, 1, 5), 4, None, 13, 4, 1, 1),  # 15 weights: a last half byte
    (NP.FNP2, (1, 1, 256), 8, None, 300, 8, 1, 1),  # 19800 words: a long image
    (NP.FNP3, (7, 3, 3), 8, 5, 9, 8, 1, 3),
    (NP.FNP2, (6, 2, 3), 8, 1, 4, 8, 0, 3),
    (NP.FNP2, (5, 3, 2), 4, 3, 11, 4, 1, 2),
    (NP.FNP3, (9, 1, 1), 4, 6, 2, 4, 1, 2),
    (NP.FNP3, (5, 4, 3), 8, 7, 6, 4, 1, 2),
]


@pytest.mark.parametrize("case", CASES, ids=lambda c: f"{c[0].name}-mode{c[-1]}-{c[1]}-i{c[2]}-w{c[5]}-u{c[4]}")
def test_fnp_images_equal_the_reference(reader, case):
    fnp, (x, y, c), ib, conv, units, wb, activation, mode = case
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=x, input_height=y, input_channels=c,
                    input_bits=8 if conv else ib))
    rng = np.random.default_rng(units)
    if conv:
        model.add(layer(core.Conv2D, "conv", kernel_size=3, filters=conv, output_bits=ib))
        fill(model.get_layer("conv"), rng, 8)
        c = conv
    # 4-bit weights give 4-bit activations.
    model.add(layer(core.Dense1D, "fc", units=units, weights_bits=wb, activation=activation,
                    output_bits=4 if wb == 4 else 8))
    v = fill(model.get_layer("fc"), rng, wb)
    model._map(v2_device(fnp=fnp), hw_only=True)
    [sequence] = model.sequences
    [component] = model.get_layer("fc").mapping.nps
    assert component.type == fnp
    shape = (x, y, c) if conv else (1, 1, x * y * c)
    images = np_images(reader, sequence.program, component.ident)
    assert images[0][0] == 2
    np.testing.assert_array_equal(images[0][2], fnp_input_shifts(v["input_shift"], shape, mode, ib))
    expected = fnp_weights(v, shape, mode, ib, wb)
    if fnp == NP.FNP3:
        assert images[1][0] == 6
        np.testing.assert_array_equal(images[1][2], expected)
    else:
        assert len(images) == 1
        [external] = [r.External() for r in pass_records(reader, sequence.program) if r.External()]
        np.testing.assert_array_equal(external.WordsAsNumpy(), expected)
