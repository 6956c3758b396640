"""Where IP v2 layers land on the NPs and what their register blocks say about it:
hwpr_loopitself (passes that loop on the same NPs, dual buffering) and word 22 of a
depthwise layer split by channels."""

import pytest

import morla.core as core
from map_models import NP, layer, program_reader
from test_map_v2 import V2, v2_device
from v2_layout_refs import np_blocks


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    return program_reader(tmp_path_factory.mktemp("reader"))


def two_np_device():
    nps = [NP.Info(NP.Ident(1, 1, i), [NP.CNP1, NP.CNP2], True) for i in range(2)]
    return core.Device(V2, NP.Mesh(core.IpVersion.v2, NP.Ident(0, 1, 0), NP.Ident(0, 1, 1),
                                   None, nps, []))


def mapped(model, device, loop=False, max_filters=None):
    constraints = core.MapConstraints(device)
    constraints.hwpr_loopitself = loop
    if max_filters:
        constraints.cnp_max_filters = max_filters
    model._map(device, constraints=constraints)
    return model


@pytest.mark.parametrize("loop", [False, True])
def test_hwpr_loopitself_loops_passes_on_the_same_nps(loop):
    # Each convolution needs both NPs.
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=4))
    for i in range(3):
        model.add(layer(core.Conv2D, f"c{i}", kernel_size=3, filters=8))
    mapped(model, two_np_device(), loop, max_filters=4)
    sequences = [(s.name, [[l.name for l in p.layers] for p in s.passes]) for s in model.sequences]
    if loop:
        assert sequences == [("HW/in-c2", [["in", "c0"], ["c1"], ["c2"]])]
    else:
        assert sequences == [("HW/in-c0", [["in", "c0"]]), ("HW/c1", [["c1"]]), ("HW/c2", [["c2"]])]
    for i in range(3):
        nps = model.get_layer(f"c{i}").mapping.nps
        assert [(c.ident.id, c.start_neuron, c.filters) for c in nps] == [(0, 0, 4), (1, 4, 4)]


@pytest.mark.parametrize("loop", [False, True])
def test_hwpr_loopitself_dual_buffers_a_large_input_on_two_nps(loop):
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=64, input_height=80, input_channels=8))
    model.add(layer(core.Conv2D, "c", kernel_size=3, filters=8))
    mapped(model, two_np_device(), loop)
    nps = model.get_layer("c").mapping.nps
    assert [(c.ident.id, c.single_buffer) for c in nps] == (
        [(0, False), (1, False)] if loop else [(0, True)])


@pytest.mark.parametrize("last", [False, True])
def test_word_22_of_a_depthwise_layer_split_by_channels(reader, last):
    """Bits 0-11 take the NP's first channel, then the routing writer puts the P2P-out flag
    (set for the layer that writes to the output DMA) in bit 0; bits 16-25 the channels."""
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=21))
    model.add(layer(core.DepthwiseConv2D, "dw", kernel_size=3))
    if not last:
        model.add(layer(core.Conv2D, "c", kernel_size=3, filters=8))
    device = v2_device()
    mapped(model, device, max_filters=8)
    [sequence] = model.sequences
    nps = model.get_layer("dw").mapping.nps
    assert [(c.start_neuron, c.filters) for c in nps] == [(0, 7), (7, 7), (14, 7)]
    for c in nps:
        [words] = [w for code, field, w, _ in np_blocks(reader, sequence.program, c.ident)
                   if (code, field, len(w)) == (8, 0, 64) and w[3] >> 24 != 254]
        assert words[22] == (c.start_neuron & ~1) | int(last) | c.filters << 16
        assert (words[3] >> 10) & 1 == 1
