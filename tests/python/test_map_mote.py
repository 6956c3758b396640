"""Mapping StatefulRecurrent chains on a Mote device: one hardware pass holding the chain on
the TNP-R, its program as the generated reader sees it, and the chain rules with hw_only."""

import math

import numpy as np
import pytest

import morla.core as core
from map_models import NP, layer, program_reader

TIMESTEPS = 8


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    return program_reader(tmp_path_factory.mktemp("reader"))


def mote_device():
    mesh = NP.Mesh(core.mote, NP.Ident(0, 0, 0), NP.Ident(0, 0, 0), None,
                   [NP.Info(NP.Ident(0, 0, 0), [NP.TNP_R], False)])
    return core.Device(core.HwVersion(1, 0xB1, 1, 0), mesh)


def chain_model(**first_keys):
    """InputData -> StatefulRecurrent -> StatefulRecurrent -> MotePostProcessing over
    TIMESTEPS steps of 32 8-bit channels."""
    model = core.Model()
    model.add(layer(core.InputData, "input", input_width=1, input_height=TIMESTEPS,
                    input_channels=32))
    model.add(layer(core.StatefulRecurrent, "sr1", stateful_channels=16, output_channels=8,
                    **first_keys))
    model.add(layer(core.StatefulRecurrent, "sr2", stateful_channels=16, output_channels=1))
    model.add(layer(core.MotePostProcessing, "post"))
    return model


def words(buffer):
    return [int(w) for w in buffer.WordsAsNumpy()]


def bits(value, first, last):
    return (value >> first) & ((1 << (last - first + 1)) - 1)


def test_the_chain_maps_into_one_pass_and_records_on_the_tnp_r(reader):
    model = chain_model()
    model.get_layer("post").variables["threshold"] = np.array([1234], dtype=np.uint16)
    model._map(mote_device(), hw_only=True)

    [sequence] = model.sequences
    assert sequence.backend == core.BackendType.Hardware
    assert [[l.name for l in p.layers] for p in sequence.passes] == [
        ["input", "sr1", "sr2", "post"]]

    parts = sequence.program_parts
    info = reader.ProgramInfoRoot.ProgramInfoRoot.GetRootAs(parts.program_info, 4)
    data = reader.ProgramDataRoot.ProgramDataRoot.GetRootAs(parts.program_data, 4)
    assert info.MotePostProcessing() == 1
    programs = [data.Passes(0).Programs(i) for i in range(data.Passes(0).ProgramsLength())]
    [tnp_r] = [p for p in programs if p.BuffersLength() > 0]
    config, fsram, tsram = (words(tnp_r.Buffers(i)) for i in range(tnp_r.BuffersLength()))
    # Configuration, FSRAM and TSRAM blocks, each in a buffer of its own, without length.
    assert [(b[0] & 0xF, b[1]) for b in (config, fsram, tsram)] == [(0, 0), (1, 0), (2, 0)]

    config = config[2:]
    assert len(config) == 16
    assert bits(config[0], 0, 2) == 2  # three layers on the TNP-R
    assert bits(config[0], 17, 17) == 1 and bits(config[0], 20, 20) == 1

    # 51-bit entries in two words each: state, output and input regions; the output region
    # ends with the post-processing entry.
    entries = [low | high << 32 for low, high in zip(tsram[2::2], tsram[3::2])]
    output_start, input_start = config[3] >> 16, config[3] & 0xFFFF
    assert 0 < output_start < input_start < len(entries)
    tail = entries[input_start - 1]
    assert bits(tail, 0, 15) == 1
    assert bits(tail, 16, 21) == -int(math.log2(TIMESTEPS)) & 0x3F
    assert bits(tail, 22, 37) == 1234

    # The sizes the mapping records are those of the images.
    memory = model.get_layer("sr1").mapping.nps[0].mem_info
    assert memory.tsram_51b_size == len(entries)
    assert memory.fsram_64b_size == (len(fsram) - 2) // 2


def test_a_broken_rule_stops_hardware_only_mapping_with_its_message():
    model = chain_model(subsample=5)
    with pytest.raises(RuntimeError, match=r"^Cannot map layer 'sr1'\. Subsample ratio exceeds "
                                           r"max limit of 4 for TNP-R\. \(got 5\)\.$"):
        model._map(mote_device(), hw_only=True)
    assert model.sequences == []
