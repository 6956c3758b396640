"""The FSRAM and TSRAM images the TNP-R of a Mote program receives for a chain of
StatefulRecurrent layers (and its MotePostProcessing tail), checked whole: random values over
each variable's full range, 8- and 16-bit inputs, projections whose column counts are not
multiples of 8, chains of one to three layers, compared word for word with the references of
v2_layout_refs."""

import numpy as np
import pytest

import morla.core as core
from map_models import layer, program_reader
from test_map_mote import mote_device
from v2_layout_refs import MOTE_RANGES, RANGES, fsram_image, pass_records, tsram_image


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    return program_reader(tmp_path_factory.mktemp("reader"))


def fill(item, rng):
    variables = item.variables
    for name in variables.names:
        value = variables[name]
        low, high = MOTE_RANGES.get(name, RANGES.get(name, (np.iinfo(value.dtype).min,
                                                             np.iinfo(value.dtype).max)))
        if value.dtype == np.int8 and name == "input_shift":  # the tail's, a 6-bit field
            low, high = -32, 31
        variables[name] = rng.integers(low, high + 1, value.shape).astype(value.dtype)
    return {name: variables[name] for name in variables.names}


# (input (timesteps, channels, bits), per layer (states, outputs, subsample, activation),
#  tail)
CASES = [
    ((8, 32, 8), [(16, 8, 1, 0), (16, 1, 1, 0)], "post"),
    ((5, 8, 16), [(4, 3, 2, 1)], "dequantizer"),
    ((100, 3, 8), [(8, 5, 3, 0), (8, 13, 1, 1), (8, 1, 1, 0)], "post"),
    ((4, 256, 8), [(128, 256, 4, 0)], "dequantizer"),
    ((9, 128, 16), [(2, 7, 1, 0), (2, 1, 2, 0)], "post"),
]


@pytest.mark.parametrize("case", CASES, ids=lambda c: f"t{c[0][0]}-c{c[0][1]}-i{c[0][2]}-{len(c[1])}layers-{c[2]}")
def test_tnp_r_images_equal_the_reference(reader, case):
    (timesteps, channels, bits), layers, tail = case
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=1, input_height=timesteps,
                    input_channels=channels, input_bits=bits))
    rng = np.random.default_rng(channels)
    recurrent = []
    for i, (states, outputs, subsample, activation) in enumerate(layers):
        model.add(layer(core.StatefulRecurrent, f"sr{i}", stateful_channels=states,
                        output_channels=outputs, subsample=subsample, activation=activation))
        v = fill(model.get_layer(f"sr{i}"), rng)
        if activation:  # ReLU takes only these
            model.get_layer(f"sr{i}").variables["max_value"] = np.full(outputs, 127, np.uint8)
            model.get_layer(f"sr{i}").variables["max_value_shift"] = np.full(outputs, 31, np.uint8)
        recurrent.append(v)
    post = None
    if tail == "post":
        model.add(layer(core.MotePostProcessing, "post"))
        post = fill(model.get_layer("post"), rng)
        last = model.get_layer(f"sr{len(layers) - 1}").variables
        last["output_scales"], last["output_shift"] = np.ones(1, np.uint8), np.zeros(1, np.int8)
        recurrent[-1] = {name: last[name] for name in last.names}
    else:
        model.add(layer(core.Dequantizer, "dq"))
    model._map(mote_device(), hw_only=True)
    [sequence] = model.sequences
    [record] = [r for r in pass_records(reader, sequence.program) if r.BuffersLength()]
    # Each block opens a buffer of its own; a long one leaves an empty buffer before it.
    buffers = [record.Buffers(i).WordsAsNumpy() for i in range(record.BuffersLength())]
    _, fsram, tsram = (b[2:] for b in buffers if len(b))
    matrices = [m for v in recurrent for m in (v["in_proj"], v["out_proj"])]
    np.testing.assert_array_equal(fsram, fsram_image(matrices))
    in_bits = [bits] + [8] * (len(layers) - 1)
    chain = [(v, b, None) for v, b in zip(recurrent, in_bits)]
    tail_entry = None
    if post is not None:
        chain[-1] = (recurrent[-1], in_bits[-1], post)
        tail_entry = (model.get_layer("post").input_dims[1], post["threshold"][0])
    np.testing.assert_array_equal(tsram, tsram_image((chain, tail_entry)))
