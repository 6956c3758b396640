"""The words every TNP-B of an IP v2 program receives for a temporal layer, checked whole:
random values over each variable's full range, FIFO depths from 1 to 14 (12 taps for the
depthwise layer), one and many channels, filter counts that are not multiples of 24 split
over NPs, compared word for word with the references of v2_layout_refs."""

import numpy as np
import pytest

import morla.core as core
from map_models import NP, layer, program_reader
from test_map_v2 import v2_device
from v2_layout_refs import (WIDE_SRAM, byte_words, depthwise_tnp_b_weights, fill, long_units,
                            map_one_sequence, np_images, shift_words, tnp_b_weights)


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    return program_reader(tmp_path_factory.mktemp("reader"))


# (layer type, fifo size, input channels, filters, activation, largest filter count per NP[,
#  NP memories])
CASES = [
    (core.BufferTempConv, 1, 1, 1, 1, 64),
    (core.BufferTempConv, 3, 5, 30, 0, 64),
    (core.BufferTempConv, 14, 2, 49, 1, 64),
    (core.BufferTempConv, 2, 33, 61, 1, 25),
    (core.BufferTempConv, 14, 196, 24, 1, 64, WIDE_SRAM),  # one long block of 16464 words
    (core.DepthwiseBufferTempConv, 1, 1, None, 1, 64),
    (core.DepthwiseBufferTempConv, 12, 37, None, 0, 64),
    (core.DepthwiseBufferTempConv, 12, 428, None, 1, 512),
    (core.DepthwiseBufferTempConv, 5, 300, None, 1, 64),
]


@pytest.mark.parametrize("case", CASES, ids=lambda c: f"{c[0].name}-fifo{c[1]}-c{c[2]}-f{c[3] or c[2]}")
def test_tnp_b_images_equal_the_reference(reader, case):
    kind, fifo, channels, filters, activation, max_filters, *sram = case
    keys = dict(fifo_size=fifo, activation=activation)
    if filters is not None:
        keys["filters"] = filters
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=4, input_height=4, input_channels=channels))
    model.add(layer(kind, "t", **keys))
    v = fill(model.get_layer("t"), np.random.default_rng(fifo * 100 + channels), 8)
    sequence = map_one_sequence(model, v2_device(sram=sram[0] if sram else NP.SramSize_v2),
                                max_filters)
    nps = model.get_layer("t").mapping.nps
    covered = {f for c in nps for f in range(c.start_neuron, c.start_neuron + c.filters)}
    assert covered == set(range(len(v["bias"])))
    for component in nps:
        assert component.type == core.NP.TNP_B
        first, n = component.start_neuron, component.filters
        weights, shifts, scales = np_images(reader, sequence.program, component.ident)
        assert (weights[0], shifts[0], scales[0]) == (1, 2, 4)
        if kind == core.BufferTempConv:
            image = tnp_b_weights(v["weights"], fifo, first, n)
            np.testing.assert_array_equal(shifts[2], byte_words(v["input_shift"]))
        else:
            image = depthwise_tnp_b_weights(v["weights"], first, n)
            np.testing.assert_array_equal(shifts[2], byte_words(v["input_shift"], first, n))
        np.testing.assert_array_equal(weights[2], image)
        assert weights[3] == long_units(image)
        np.testing.assert_array_equal(scales[2], shift_words(v, first, n))
