"""The neuron parameters the HRC of an IP v2 program receives for an InputConv2D layer (two
words per neuron, with and without a look-up table, and its look-up table), checked whole:
random values over each variable's full range, 1 to 511 filters, one and three channels,
compared word for word with the references of v2_layout_refs."""

import numpy as np
import pytest

import morla.core as core
from map_models import layer, program_reader
from test_map_v2 import v2_device
from v2_layout_refs import fill, hrc_memory, narrow_neuron_params, neuron_params

NEURONS, LUT = 31, 29  # selector bits of the HRC memories


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    return program_reader(tmp_path_factory.mktemp("reader"))


@pytest.mark.parametrize("channels, kernel, filters, activation", [
    (1, 3, 1, 1), (3, 5, 37, 1), (1, 7, 511, 1), (3, 4, 8, 2), (1, 3, 200, 2)])
def test_hrc_neuron_params_equal_the_reference(reader, channels, kernel, filters, activation):
    model = core.Model()
    model.add(layer(core.InputConv2D, "hrc", input_width=12, input_height=12,
                    input_channels=channels, kernel_size=kernel, filters=filters,
                    activation=activation))
    v = fill(model.get_layer("hrc"), np.random.default_rng(filters), 8)
    model._map(v2_device(), hw_only=True)
    [sequence] = model.sequences
    words = hrc_memory(reader, sequence.program, NEURONS)
    if activation == 2:
        expected = narrow_neuron_params(v["output_scales"], v["bias"], v["bias_shift"],
                                        v["output_shift"], v["activation_shift"],
                                        v["activation_scales"])
        lut = np.asarray(v["lut_values"], np.int64) & 0x3FFF
        np.testing.assert_array_equal(hrc_memory(reader, sequence.program, LUT), lut)
    else:
        expected = neuron_params(v)
    np.testing.assert_array_equal(words, expected)
