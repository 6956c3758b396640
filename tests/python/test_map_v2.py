"""Mapping IP v2 models on virtual v2 devices: convolutions with a skip branch, the HRC, an
FNP and a TNP-B, the programs they give, the v2 rules through _map, and clean errors."""

import re
import struct

import numpy as np
import pytest

import morla.core as core
from map_models import NP, layer, program_reader

V2 = core.HwVersion(0x4B, 0xA2, 1, 0)


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    return program_reader(tmp_path_factory.mktemp("reader"))


def skip_dma(col):
    ident = NP.Ident(col, 3, 0)
    ident.channel = 4  # the channels of a skip DMA
    return NP.Info(ident, [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD], False)


def v2_device(columns=4, fnp=NP.FNP3, sram=NP.SramSize_v2):
    """Two rows of two NPs per column (CNP and TNP-B), an HRC, an FNP in the last column and
    two skip DMAs, each NP with `sram`."""
    nps = [NP.Info(NP.Ident(c, r, i), [NP.CNP1, NP.CNP2, NP.TNP_B], True)
           for c in range(1, columns + 1) for r in (1, 2) for i in range(2)]
    nps.append(NP.Info(NP.Ident(columns + 1, 1, 0), [fnp], True))
    mesh = NP.Mesh(core.IpVersion.v2, NP.Ident(0, 1, 0), NP.Ident(0, 1, 1), NP.Info.hrc(True),
                   nps, [skip_dma(1), skip_dma(2)], sram)
    return core.Device(V2, mesh)


def random_weights(model, seed=1):
    rng = np.random.default_rng(seed)
    for item in model.layers:
        variables = item.variables
        if variables is not None and "weights" in variables.names:
            weights = variables["weights"]
            variables["weights"] = rng.integers(-3, 4, weights.shape).astype(weights.dtype)
    return model


def add_skip(model, name, a, b):
    model.add(layer(core.Add, name), [model.get_layer(a), model.get_layer(b)])


def convolution_model(padding=1):
    """Conv2D -> DepthwiseConv2D -> Add (with the Conv2D) -> Conv2D -> Conv2DTranspose ->
    DepthwiseConv2DTranspose on 16x16x4 inputs."""
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=16, input_height=16, input_channels=4))
    model.add(layer(core.Conv2D, "c1", kernel_size=3, filters=8, padding=padding))
    model.add(layer(core.DepthwiseConv2D, "dw", kernel_size=3))
    add_skip(model, "add", "dw", "c1")
    model.add(layer(core.Conv2D, "c2", kernel_size=3, filters=8))
    model.add(layer(core.Conv2DTranspose, "ct", kernel_size=3, filters=8))
    model.add(layer(core.DepthwiseConv2DTranspose, "dt", kernel_size=3))
    return random_weights(model)


def fnp_model():
    """InputConv2D -> Conv2D -> DepthwiseConv2D -> Add (with the Conv2D) -> Conv2D -> Dense1D."""
    model = core.Model()
    model.add(layer(core.InputConv2D, "hrc", input_width=12, input_height=12, input_channels=3,
                    kernel_size=3, filters=8))
    model.add(layer(core.Conv2D, "c1", kernel_size=3, filters=8))
    model.add(layer(core.DepthwiseConv2D, "dw", kernel_size=3))
    add_skip(model, "add", "dw", "c1")
    model.add(layer(core.Conv2D, "c2", kernel_size=3, filters=4))
    model.add(layer(core.Dense1D, "fc", units=10))
    return random_weights(model)


def temporal_model(depthwise_fifo=None):
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=4))
    model.add(layer(core.Conv2D, "c1", kernel_size=3, filters=8))
    if depthwise_fifo is None:
        model.add(layer(core.BufferTempConv, "t", fifo_size=2, filters=8))
    else:
        model.add(layer(core.DepthwiseBufferTempConv, "t", fifo_size=depthwise_fifo))
    model.add(layer(core.Conv2D, "c2", kernel_size=3, filters=8))
    return random_weights(model)


def blocks(words):
    """(col, row, select mask, type code, field, words) of every NP block of a word buffer."""
    i = 0
    while i + 2 <= len(words):
        h0, h1 = words[i], words[i + 1]
        length = ((h1 >> 16) & 0x3FFF) * (16 if h1 >> 31 else 1)
        yield (h0 >> 24, (h0 >> 16) & 0xFF, (h0 >> 8) & 0xF, h0 & 0xF, h1 & 0xFFFF,
               words[i + 2:i + 2 + length])
        i += 2 + length


def program_blocks(reader, program):
    length = struct.unpack_from("<I", program)[0]
    data = reader.ProgramDataRoot.ProgramDataRoot.GetRootAs(program[4 + length:], 4)
    for p in range(data.PassesLength()):
        pass_data = data.Passes(p)
        for i in range(pass_data.ProgramsLength()):
            record = pass_data.Programs(i)
            for b in range(record.BuffersLength()):
                yield from blocks(list(record.Buffers(b).WordsAsNumpy()))


def register_blocks(reader, program, component):
    """The 64-word register blocks of the NP, outside registers-only recordings."""
    ident = component.ident
    return [words for col, row, mask, code, _, words in program_blocks(reader, program)
            if (col, row, mask, code) == (ident.col, ident.row, 1 << ident.id, 8)
            and len(words) == 64 and (words[3] >> 24) != 254]


def test_convolutions_with_a_skip_branch(reader):
    model = convolution_model()
    model._map(v2_device(), hw_only=True)
    [sequence] = model.sequences
    assert [[l.name for l in p.layers] for p in sequence.passes] == [
        ["in", "c1", "dw", "add", "c2", "ct", "dt"]]
    program = sequence.program
    # The pass order counts the mapped layers; the Add is carried by skip DMAs.
    for name, order in (("c1", 1), ("c2", 3)):
        nps = model.get_layer(name).mapping.nps
        assert nps
        for component in nps:
            [words] = register_blocks(reader, program, component)
            assert words[3] >> 24 == order
            assert words[26] == component.start_neuron | component.filters << 16
    assert model.get_layer("c2").mapping.skipdma_loads
    assert model.get_layer("c1").mapping.skipdma_stores


def test_hrc_cnp_and_fnp_model(reader):
    for fnp in (NP.FNP3, NP.FNP2):
        model = fnp_model()
        model._map(v2_device(fnp=fnp), hw_only=True)
        [sequence] = model.sequences
        assert sequence.backend == core.BackendType.Hardware
        program = sequence.program
        info = reader.ProgramInfoRoot.ProgramInfoRoot.GetRootAs(sequence.program_parts.program_info, 4)
        assert info.HwVersion().ProductId() == 0xA2
        assert list(info.InputDimsAsNumpy()) == [12, 12, 3]
        counts = model.component_count
        assert counts[NP.HRC] == 1 and counts[fnp] == 1
        [fc] = model.get_layer("fc").mapping.nps
        assert fc.type == fnp
        figures = core.get_program_memory_infos(program)
        if fnp == NP.FNP2:
            # The FNP2 weights live in external memory, outside the NP program.
            # A 12x12x4 input from a CNP in 4-byte runs: 2 + 3 x 4 x 12 words per neuron.
            assert fc.mem_info.external_size == 4 * 10 * (2 + 3 * 4 * 12)
            assert figures.extra_program_memory == fc.mem_info.external_size
            # The model's figure adds the skip buffers of its skip-DMA stores.
            components = [c for l in model.layers if l.mapping is not None
                          for c in l.mapping.nps + l.mapping.skipdma_stores]
            assert model.external_memory_size == sum(c.mem_info.external_size for c in components)
        else:
            assert fc.mem_info.weight_size > 0 and fc.mem_info.external_size == 0
            assert figures.extra_program_memory == 0
        # The HRC program closes with a pulse of one-word writes.
        pulse = [b[5] for b in program_blocks(reader, program) if b[:5] == (0, 0, 0, 8, 0)]
        assert pulse[-2:] == [[1], [0]]


def test_temporal_model(reader):
    for fifo in (None, 3):
        model = temporal_model(fifo)
        model._map(v2_device(), hw_only=True)
        [sequence] = model.sequences
        [t] = model.get_layer("t").mapping.nps
        assert t.type == NP.TNP_B
        assert t.mem_info.input_size > 0 and t.mem_info.weight_size > 0
        assert register_blocks(reader, sequence.program, t)


def test_a_broken_v2_rule_is_the_mapping_error():
    with pytest.raises(RuntimeError, match=r"^Cannot map layer 'c1'\. Only padding 'Same' and "
                                           r"'SameUpper' are supported\.$"):
        convolution_model(padding=0)._map(v2_device(), hw_only=True)


def wide_hrc_model():
    model = core.Model()
    model.add(layer(core.InputConv2D, "hrc", input_width=12, input_height=12, input_channels=3,
                    kernel_size=3, filters=512))
    return random_weights(model)


def average_pooling_hrc_model():
    model = core.Model()
    model.add(layer(core.InputConv2D, "hrc", input_width=12, input_height=12, input_channels=3,
                    kernel_size=3, filters=8, pool_type=2, pool_size=2))
    model.add(layer(core.Conv2D, "c1", kernel_size=3, filters=8))
    return random_weights(model)


# Layers the checks accept but the device cannot record: refused like layers the checks
# refuse, they run in software, or stop a hardware-only mapping naming them.
@pytest.mark.parametrize("make_model, refused, message, sequences", [
    (lambda: temporal_model(13), "t", "Layer 't' has 13 taps per channel; a TNP-B holds at most 12.",
     ["HW/in-c1", "SW/t", "HW/c2"]),
    (wide_hrc_model, "hrc", "Attempted to write value 512 into a 9-bit field, which will cause an "
     "overflow.", ["SW/hrc"]),
    (average_pooling_hrc_model, "hrc", "Wrong pooling at HRC recording.", ["SW/hrc", "HW/c1"]),
], ids=["deep_depthwise_fifo", "hrc_512_filters", "hrc_average_pooling"])
def test_layers_the_device_cannot_record_run_in_software(make_model, refused, message, sequences):
    model = make_model()
    with pytest.raises(RuntimeError, match="^" + re.escape(f"Cannot map layer '{refused}'. {message}") + "$"):
        model._map(v2_device(), hw_only=True)
    assert model.sequences == []
    model._map(v2_device())
    assert [s.name for s in model.sequences] == sequences
    assert model.get_layer(refused).mapping is None


def two_np_device():
    nps = [NP.Info(NP.Ident(1, 1, i), [NP.CNP1, NP.CNP2], True) for i in range(2)]
    return core.Device(V2, NP.Mesh(core.IpVersion.v2, NP.Ident(0, 1, 0), NP.Ident(0, 1, 1),
                                   None, nps, []))


def conv2d_chain(count):
    model = core.Model()
    model.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=4))
    for i in range(count):
        model.add(layer(core.Conv2D, f"c{i}", kernel_size=3, filters=8))
    return random_weights(model)


def test_several_passes_on_a_small_mesh(reader):
    device, model = two_np_device(), conv2d_chain(4)
    model._map(device, hw_only=True)
    [sequence] = model.sequences
    assert [[l.name for l in p.layers] for p in sequence.passes] == [["in", "c0", "c1"], ["c2", "c3"]]
    program = sequence.program
    length = struct.unpack_from("<I", program)[0]
    data = reader.ProgramDataRoot.ProgramDataRoot.GetRootAs(program[4 + length:], 4)
    header = data.HeaderWords()
    assert (header.Word0(), header.Word1()) != (0, 0)  # the passes are chained
    # Every NP block carries its layer's place in its pass, or 254 when it only hands over
    # registers between passes.
    for name, order in (("c0", 1), ("c1", 2), ("c2", 1), ("c3", 2)):
        [np_component] = model.get_layer(name).mapping.nps
        ident = np_component.ident
        orders = {words[3] >> 24 for col, row, mask, code, _, words in program_blocks(reader, program)
                  if (col, row, mask, code) == (ident.col, ident.row, 1 << ident.id, 8)
                  and len(words) == 64}
        assert order in orders and orders <= {1, 2, 254}
    assert core.get_program_memory_infos(program).program_memory > 0


# Each layer needs both NPs: a layer may not reuse the NPs of the one before, so every
# sequence ends after one layer, and the next sequence takes the next layer. Stopping for
# want of free NPs is no refusal of the layer.
@pytest.mark.parametrize("hw_only", [False, True])
def test_a_model_mapped_sequence_by_sequence_is_all_hardware(hw_only):
    device, model = two_np_device(), conv2d_chain(3)
    constraints = core.MapConstraints(device)
    constraints.cnp_max_filters = 4
    model._map(device, hw_only=hw_only, constraints=constraints)
    assert [s.name for s in model.sequences] == ["HW/in-c0", "HW/c1", "HW/c2"]
