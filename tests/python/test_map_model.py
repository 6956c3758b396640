"""Mapping models on devices without hardware: sequences, passes, programs and their
memory figures, layer mappings, constraints hooks, re-mapping."""

import gc
import random
import struct

import numpy as np
import pytest

import morla.core as core
from map_models import NP, inputs, layer, program_reader, v1_device, v1_model, v1_mesh


@pytest.fixture(scope="module")
def reader(tmp_path_factory):
    return program_reader(tmp_path_factory.mktemp("reader"))


def split(program):
    length = struct.unpack_from("<I", program)[0]
    return program[:4 + length], program[4 + length:]


def frame_bytes(dims, bits):
    return (int(np.prod(dims)) * bits + 31) // 32 * 4


def test_a_v1_model_maps_into_one_hardware_sequence(reader):
    model, device = v1_model(), v1_device()
    model._map(device)
    assert model.device is device
    [sequence] = model.sequences
    assert sequence.name == "HW/hrc-fc"
    assert sequence.backend == core.BackendType.Hardware
    assert [[l.name for l in p.layers] for p in sequence.passes] == [["hrc", "conv", "fc"]]
    program = sequence.program
    parts = sequence.program_parts
    assert isinstance(program, bytes)
    assert parts.program_info + parts.program_data == program
    assert struct.unpack_from("<I", parts.program_info)[0] == len(parts.program_info) - 4
    assert sequence.program is not program  # a new copy each read

    info = reader.ProgramInfoRoot.ProgramInfoRoot.GetRootAs(parts.program_info, 4)
    data = reader.ProgramDataRoot.ProgramDataRoot.GetRootAs(parts.program_data, 4)
    version = info.HwVersion()
    assert (version.VendorId(), version.ProductId(), version.MajorRev(), version.MinorRev()) == (
        core.Orbi_v2.vendor_id, core.Orbi_v2.product_id, core.Orbi_v2.major_rev,
        core.Orbi_v2.minor_rev)
    assert info.EngineVersion().decode() == core.__version__
    assert list(info.InputDimsAsNumpy()) == [16, 16, 1]
    assert list(info.OutputDimsAsNumpy()) == model.output_shape
    assert info.InputBits() == 8 and info.InputSigned() == 0  # pixels on the HRC
    assert info.PassesLength() == data.PassesLength() == 1
    assert info.Passes(0).ProgramsLength() == data.Passes(0).ProgramsLength()
    assert info.Learning() is None and data.Learning() is None
    header = data.HeaderWords()
    assert (header.Word0(), header.Word1()) == (0, 0)  # a single pass
    assert info.Descriptors() >= 2

    externals = sum(info.Passes(p).Programs(i).External().Count() * 4
                    for p in range(info.PassesLength())
                    for i in range(info.Passes(p).ProgramsLength())
                    if info.Passes(p).Programs(i).External() is not None)
    figures = core.get_program_memory_infos(program)
    assert figures.input_memory == frame_bytes(info.InputDimsAsNumpy(), info.InputBits())
    assert figures.output_memory == frame_bytes(info.OutputDimsAsNumpy(), info.OutputBits())
    assert figures.program_memory == len(parts.program_data)
    assert figures.extra_program_memory == externals
    assert figures.input_descriptor_memory == 32
    assert figures.program_descriptors_memory == info.Descriptors() * 32
    assert repr(figures) == (
        f"<morla.ProgramMemoryRequired(input_memory={figures.input_memory}B, "
        f"input_descriptor_memory=32B, output_memory={figures.output_memory}B, "
        f"program_memory={figures.program_memory}B, "
        f"extra_program_memory={figures.extra_program_memory}B, "
        f"program_descriptors_memory={figures.program_descriptors_memory}B)>")
    assert str(figures) == repr(figures)


def test_layer_mappings_and_component_counts():
    model = v1_model()
    assert model.component_count == {} and model.external_memory_size == 0
    assert all(l.mapping is None for l in model.layers)
    model._map(v1_device())
    hrc, conv, fc = model.layers
    assert [c.type for c in hrc.mapping.nps] == [NP.HRC]
    assert all(c.type == NP.CNP1 for c in conv.mapping.nps)
    assert [c.type for c in fc.mapping.nps] == [NP.FNP3]
    used = [str(c.ident) for l in (conv, fc) for c in l.mapping.nps]
    assert len(used) == len(set(used))  # no NP twice on a product-0 device
    counts = model.component_count
    assert counts == {NP.HRC: 1, NP.CNP1: len(conv.mapping.nps), NP.FNP3: 1}
    assert all(isinstance(key, NP.Type) for key in counts)
    for item in model.layers:
        assert item.mapping.skipdma_loads == [] and item.mapping.skipdma_stores == []
    first, second = conv.mapping.nps, conv.mapping.nps
    assert first == second and first[0] is not second[0]
    component = first[0]
    assert component.filters > 0 and component.start_neuron == 0
    assert component.mem_info.weight_size > 0
    assert component.mem_info == conv.mapping.nps[0].mem_info
    assert model.external_memory_size == sum(
        c.mem_info.external_size for l in model.layers for c in l.mapping.nps)


def test_a_model_mapped_without_hardware_runs_in_software():
    mapped, plain = v1_model(), v1_model()
    mapped._map(v1_device())
    x = inputs(3)
    np.testing.assert_array_equal(mapped.forward(x), plain.forward(x))
    assert "inference_clk" not in mapped.metrics.names


@pytest.mark.parametrize("hw_only", [True, False], ids=["hardware_only", "mixed"])
def test_a_layer_the_device_refuses(hw_only):
    model = v1_model(odd_layer=True)
    if hw_only:
        with pytest.raises(RuntimeError,
                           match=r"^Cannot map layer 'odd'\. Convolution stride must be 1 or 2\.$"):
            model._map(v1_device(), hw_only=True)
        assert model.sequences == [] and model.device is None
        assert all(l.mapping is None for l in model.layers)
        return
    model._map(v1_device())
    assert [(s.name, s.backend) for s in model.sequences] == [
        ("HW/hrc", core.BackendType.Hardware), ("SW/odd", core.BackendType.Software),
        ("HW/conv-fc", core.BackendType.Hardware)]
    software = model.sequences[1]
    assert software.program is None and software.program_parts.program_info is None
    assert [l.name for l in software.passes[0].layers] == ["odd"]
    assert model.get_layer("odd").mapping is None
    np.testing.assert_array_equal(model.forward(inputs(2)),
                                  v1_model(odd_layer=True).forward(inputs(2)))


def test_constraints_hooks_see_and_choose():
    class Watching(core.MapConstraints):
        def __init__(self, device):
            super().__init__(device)
            self.names, self.choices = [], []

        def next_layer_handler(self, name):
            self.names.append(name)

        def select_nps(self, candidates, count, hw_type):
            # Not the default first ones; the last one stays free for the classifier.
            chosen = list(reversed(candidates[:-1] or candidates))[:count]
            self.choices.append((hw_type, [str(c) for c in chosen]))
            return chosen

    device = v1_device()
    model = v1_model()
    constraints = Watching(device)
    model._map(device, constraints=constraints)
    assert constraints.names == ["conv", "fc"]  # the layers that reach the NP pool
    conv_choice = [c for t, c in constraints.choices if t == NP.CNP1][0]
    assert conv_choice == ["(2, 1, 0)"]
    assert [str(c.ident) for c in model.get_layer("conv").mapping.nps] == conv_choice
    assert [s.name for s in model.sequences] == ["HW/hrc-fc"]


def test_a_raising_hook_stops_the_mapping_and_leaves_the_model_unmapped():
    class Failing(core.MapConstraints):
        def next_layer_handler(self, name):
            if name == "fc":
                raise KeyError("no " + name)

    device = v1_device()
    model = v1_model()
    model._map(device)
    with pytest.raises(KeyError, match="no fc"):
        model._map(device, constraints=Failing(device))
    assert model.sequences == [] and model.device is None
    assert all(l.mapping is None for l in model.layers)
    assert model.component_count == {}


def test_remapping_replaces_sequences_and_mappings():
    model = v1_model()
    model._map(v1_device())
    kept = model.sequences[0]
    kept_program, kept_parts = kept.program, kept.program_parts
    first_nps = model.get_layer("conv").mapping.nps
    other = core.Device(core.TwoNodesIP_v1, v1_mesh())
    for device in (v1_device(), other):
        model._map(device)
        assert model.device is device and len(model.sequences) == 1
        assert model.sequences[0] is not kept
        for item in model.layers:
            assert item.mapping is not None
        assert model.component_count
    assert model.sequences[0].program != kept_program  # another product id
    # A sequence kept from the first mapping stays whole and readable.
    assert kept.program == kept_program and kept.name == "HW/hrc-fc"
    assert [l.name for l in kept.passes[0].layers] == ["hrc", "conv", "fc"]
    del kept
    gc.collect()
    assert model.get_layer("conv").mapping is not None
    assert kept_parts.program_info + kept_parts.program_data == kept_program
    assert first_nps  # copies, independent of the mapping


def test_program_parts_outlive_their_sequence_and_model():
    model = v1_model()
    model._map(v1_device())
    program = model.sequences[0].program
    parts = model.sequences[0].program_parts
    del model
    gc.collect()
    assert parts.program_info + parts.program_data == program


def test_program_memory_infos_takes_only_programs():
    for wrong in (bytearray(b"abcd"), memoryview(b"abcd"), "abcd", None, 3):
        with pytest.raises(TypeError):
            core.get_program_memory_infos(wrong)
    for garbage in (b"", b"\x01\x02", b"\xff" * 64, b"\x04\x00\x00\x00abcd"):
        with pytest.raises(ValueError):
            core.get_program_memory_infos(garbage)
    with pytest.raises(TypeError):
        core.ProgramMemoryRequired()
    with pytest.raises(TypeError):
        core.get_program_memory_infos(program=b"")


def test_mutated_programs_give_figures_or_value_errors():
    model = v1_model()
    model._map(v1_device())
    program = model.sequences[0].program
    rng = random.Random(20261207)
    outcomes = {"figures": 0, "refused": 0}
    for _ in range(3000):
        mutated = bytearray(program)
        for _ in range(rng.randint(1, 4)):
            choice = rng.random()
            if choice < 0.45:
                mutated[rng.randrange(len(mutated))] ^= 1 << rng.randrange(8)
            elif choice < 0.9:
                mutated[rng.randrange(len(mutated))] = rng.randrange(256)
            else:
                del mutated[rng.randrange(len(mutated) + 1):]
            if not mutated:
                break
        try:
            figures = core.get_program_memory_infos(bytes(mutated))
            assert figures.program_memory <= len(mutated)
            outcomes["figures"] += 1
        except ValueError:
            outcomes["refused"] += 1
    assert outcomes["figures"] and outcomes["refused"]


def test_sequence_classes_cannot_be_made():
    for cls in (core.Sequence, core.Pass, core.ProgramParts):
        with pytest.raises(TypeError):
            cls()
