"""The words every CNP of an IP v2 program receives for a convolution layer, checked whole:
random values over each variable's full range, shapes at the edges (filter counts that are
not multiples of 8, one and many channels, every kernel size and width the CNP takes, filters
split over NPs), compared word for word with the references of v2_layout_refs."""

import numpy as np
import pytest

import morla.core as core
from map_models import NP, layer, program_reader
from test_map_v2 import v2_device
from v2_layout_refs import (WIDE_SRAM, byte_words, cnp_weights, depthwise_weights, fill,
                            long_units, lut_pairs, map_one_sequence, merge_shift_bytes, np_images,
                            shift_words)


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    return program_reader(tmp_path_factory.mktemp("reader"))


DEPTHWISE = (core.DepthwiseConv2D, core.DepthwiseConv2DTranspose)


# (layer type, kernel, weight bits, input channels, filters, activation, output bits,
#  largest filter count per NP[, NP memories])
CASES = [
    (core.Conv2D, 1, 8, 1, 25, 1, 8, 64),
    (core.Conv2D, 1, 8, 40, 50, 0, 8, 20),
    (core.Conv2D, 3, 8, 3, 13, 2, 8, 8),
    (core.Conv2D, 5, 8, 17, 30, 1, 8, 12),
    (core.Conv2D, 1, 8, 1366, 30, 1, 8, 64),
    # One long block: 16392 words, padded to 16400 (not 16416).
    (core.Conv2D, 1, 8, 1366, 30, 1, 8, 64, WIDE_SRAM),
    (core.Conv2D, 7, 8, 2, 9, 1, 8, 64),
    (core.Conv2D, 1, 4, 5, 49, 1, 4, 64),
    (core.Conv2D, 3, 4, 1, 17, 1, 8, 10),
    (core.Conv2D, 5, 4, 9, 5, 1, 4, 64),
    (core.Conv2D, 7, 4, 3, 20, 1, 4, 11),
    (core.DepthwiseConv2D, 3, 8, 1, None, 1, 8, 64),
    (core.DepthwiseConv2D, 5, 8, 21, None, 2, 8, 8),
    (core.DepthwiseConv2D, 7, 8, 9, None, 1, 8, 64),
    (core.DepthwiseConv2D, 3, 4, 13, None, 0, 8, 5),
    (core.DepthwiseConv2D, 5, 4, 2, None, 1, 4, 64),
    (core.DepthwiseConv2D, 7, 4, 7, None, 0, 8, 64),
    (core.Conv2DTranspose, 3, 8, 6, 11, 1, 8, 64),
    (core.Conv2DTranspose, 4, 8, 1, 26, 0, 8, 9),
    (core.DepthwiseConv2DTranspose, 3, 8, 19, None, 1, 8, 6),
    (core.DepthwiseConv2DTranspose, 4, 8, 1, None, 1, 8, 64),
]


def case_id(case):
    kind, k, bits, channels, filters = case[:5]
    wide = "-wide" if len(case) > 8 else ""
    return f"{kind.name}-k{k}-w{bits}-c{channels}-f{filters or channels}{wide}"


@pytest.mark.parametrize("case", CASES, ids=map(case_id, CASES))
def test_cnp_images_equal_the_reference(reader, case):
    kind, k, bits, channels, filters, activation, output_bits, max_filters, *sram = case
    keys = dict(kernel_size=k, activation=activation, output_bits=output_bits)
    if kind not in (core.Conv2DTranspose, core.DepthwiseConv2DTranspose):
        keys["weights_bits"] = bits
    if filters is not None:
        keys["filters"] = filters
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=channels))
    model.add(layer(kind, "c", **keys))
    rng = np.random.default_rng(k * 1000 + channels)
    v = fill(model.get_layer("c"), rng, bits)
    sequence = map_one_sequence(model, v2_device(sram=sram[0] if sram else NP.SramSize_v2),
                                max_filters)
    depthwise = kind in DEPTHWISE
    nps = model.get_layer("c").mapping.nps
    covered = {f for c in nps for f in range(c.start_neuron, c.start_neuron + c.filters)}
    assert covered == set(range(len(v["bias"])))
    for component in nps:
        first, n = component.start_neuron, component.filters
        weights, shifts, scales, *rest = np_images(reader, sequence.program, component.ident)
        if depthwise:
            assert weights[0] == (0 if bits == 4 else 1)
            image = depthwise_weights(v["weights"], first, n, bits)
            np.testing.assert_array_equal(weights[2], image)
            np.testing.assert_array_equal(shifts[2], byte_words(v["input_shift"], first, n))
        else:
            assert weights[0] == (0 if bits == 4 or k == 7 else 1)
            image = cnp_weights(v["weights"], first, n, bits)
            np.testing.assert_array_equal(weights[2], image)
            np.testing.assert_array_equal(shifts[2], byte_words(v["input_shift"]))
        assert weights[3] == long_units(image)
        assert (shifts[0], scales[0]) == (2, 4)
        np.testing.assert_array_equal(scales[2], shift_words(v, first, n))
        if activation == 2:
            assert rest[0][0] == 5
            np.testing.assert_array_equal(rest[0][2], lut_pairs(v["lut_values"]))


# A skip branch whose layers take one NP each; the convolution after the Add may take two.
@pytest.mark.parametrize("kind, channels, max_filters", [
    (core.Conv2D, 1, 5), (core.Conv2D, 5, 5), (core.Conv2D, 40, 64),
    (core.DepthwiseConv2D, 13, 64)])
def test_merge_shift_bytes_equal_the_reference(reader, kind, channels, max_filters):
    """The shifts of an Add, sent whole to every NP of the convolution it merges into."""
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=4))
    model.add(layer(core.Conv2D, "c1", kernel_size=3, filters=channels))
    model.add(layer(core.DepthwiseConv2D, "dw", kernel_size=3))
    model.add(layer(core.Add, "add"), [model.get_layer("dw"), model.get_layer("c1")])
    model.add(layer(kind, "c2", kernel_size=3, **({"filters": 9} if kind == core.Conv2D else {})))
    rng = np.random.default_rng(channels)
    # The widest shifts an Add takes: input shifts at most 15 apart, a merged shift in -4 .. 3,
    # a 6-bit output shift.
    a = rng.integers(0, 29, channels)
    b = np.clip(a + rng.integers(-15, 16, channels), 0, 28)
    c = rng.integers(-4, 4, channels) - np.maximum(a, b)
    variables = model.get_layer("add").variables
    for name, value in (("a_shift", a), ("b_shift", b), ("output_shift", c)):
        variables[name] = value.astype(variables[name].dtype)
    sequence = map_one_sequence(model, v2_device(), max_filters)
    nps = model.get_layer("c2").mapping.nps
    assert len(nps) == (2 if max_filters < 9 and kind == core.Conv2D else 1)
    for component in nps:
        merge = np_images(reader, sequence.program, component.ident)[3]
        assert merge[0] == 3
        np.testing.assert_array_equal(merge[2], merge_shift_bytes(a, b, c))
