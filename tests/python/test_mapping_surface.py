"""The Python surface of the mapping road seen as a user sees it: a mapped model's program
run through HardwareDevice itself (fit, forward, predict and their label forms), the
components and skip DMAs of layer mappings, and the NPs a select_nps override may choose."""

import gc

import numpy as np
import pytest

import morla.core as core
from map_models import NP, inputs, v1_device, v1_model
from test_map_board import Board
from test_map_v2 import convolution_model, v2_device


def mapped_program(model, folder, name):
    """The model file and the program of its single hardware sequence on the board's mesh."""
    model_file = folder / (name + ".fbz")
    model.save(str(model_file))
    model._map(v1_device())
    [sequence] = model.sequences
    program_file = folder / (name + ".bin")
    program_file.write_bytes(sequence.program)
    return program_file, model_file


@pytest.fixture
def board_with_programs(build_dir, tmp_path):
    """A board that knows the plain and the learning v1 models' programs."""
    plain = mapped_program(v1_model(), tmp_path, "plain")
    learning = mapped_program(v1_model(learning=True), tmp_path, "learning")
    board = Board(build_dir, [plain, learning])
    np.save(tmp_path / "x.npy", inputs(4, seed=5))
    yield board, plain, learning, tmp_path / "x.npy"
    board.close()


def test_device_runs_of_a_mapped_program(board_with_programs):
    board, plain, _, x_file = board_with_programs
    lines = board.run("""
        program, model_file, x = open(sys.argv[1], "rb").read(), sys.argv[2], np.load(sys.argv[3])
        [device] = core.devices()
        device.program = program
        expected = core.Model(model_file).forward(x)
        out = device.forward(x)
        # One output frame per input, of the software run's type and values.
        assert out.shape == expected.shape and out.dtype == expected.dtype, (out.shape, out.dtype)
        np.testing.assert_array_equal(out, expected)
        metrics = device.metrics
        assert metrics["inference_frames"] == len(x)
        assert metrics["inference_end"] >= metrics["inference_start"]
        assert metrics["inference_clk"] >= 0
        # Any array-like input is cast to uint8, not refused.
        np.testing.assert_array_equal(device.forward(x.astype(np.float64)), expected)
        predicted = device.predict(x[:3])
        np.testing.assert_array_equal(predicted, core.Model(model_file).predict(x[:3]))
        assert metrics["inference_frames"] == 3
        assert device.inference_power_events == []  # no power measurement
        print("done")
    """, *plain, x_file)
    assert lines[-1] == "done"


# Every form of one label reaches the device as the single label 2; a list with one label
# per input reaches it unchanged.
LABELS = {
    "int": "2", "float": "2.0", "numpy_scalar": "np.int64(2)", "list_of_one": "[2]",
    "array_of_one": "np.array([2], np.uint8)", "list_per_input": "[2, 0, 1, 2]",
    "array_per_input": "np.array([2, 0, 1, 2], np.int64)",
}


def test_device_fit_with_every_label_form(board_with_programs):
    board, _, learning, x_file = board_with_programs
    checks = "\n".join(
        f"""
        device.learn_mem = start
        reference = core.Model(model_file)
        out = device.fit(x, {label})
        np.testing.assert_array_equal(out, reference.fit(x, {label}), err_msg={name!r})
        assert device.learn_mem != start, {name!r}
        learned[{name!r}] = device.learn_mem
        """ for name, label in LABELS.items())
    lines = board.run("""
        program, model_file, x = open(sys.argv[1], "rb").read(), sys.argv[2], np.load(sys.argv[3])
        [device] = core.devices()
        device.program = program
        start = device.learn_mem
        learned = {}
    """ + checks + """
        single = {learned[k] for k in ("int", "float", "numpy_scalar", "list_of_one", "array_of_one")}
        assert len(single) == 1
        assert learned["list_per_input"] == learned["array_per_input"] not in single
        assert device.metrics["inference_frames"] == len(x)
        print("done")
    """, *learning, x_file)
    assert lines[-1] == "done"


def test_component_properties_are_views_of_their_own_copy():
    model = v1_model()
    model._map(v1_device())
    mapping = model.get_layer("conv").mapping
    component = mapping.nps[0]
    original_col = component.ident.col
    ident = component.ident
    ident.col = original_col + 5
    assert component.ident.col == original_col + 5  # the view writes into the component
    assert mapping.nps[0].ident.col == original_col  # which is a copy of the mapping's
    memory = component.mem_info
    input_size = memory.input_size
    assert input_size == mapping.nps[0].mem_info.input_size > 0
    del component, ident
    gc.collect()
    assert memory.input_size == input_size  # the view keeps its component alive
    component = mapping.nps[0]
    first, second = component.spatial_partition, component.spatial_partition
    assert first is not second
    assert (first.x, first.y, first.shape) == (second.x, second.y, second.shape)
    assert len(first.shape) == 3 and all(d > 0 for d in first.shape)
    with pytest.raises(AttributeError):
        first.x = 1


def test_skip_dma_components_and_model_figures():
    # The Add after the first Conv2D is carried by a skip-DMA store after that Conv2D and a
    # load before the next one.
    model = convolution_model()
    assert model.component_count == {} and model.external_memory_size == 0
    model._map(v2_device(), hw_only=True)
    [store] = model.get_layer("c1").mapping.skipdma_stores
    [load] = model.get_layer("c2").mapping.skipdma_loads
    assert (store.type, load.type) == (NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD)
    for component in (store, load):
        # No NP part: the NP figures read as for an empty part.
        assert (component.filters, component.start_neuron, component.single_buffer) == (0, 0, True)
        partition = component.spatial_partition
        assert (partition.x, partition.y, partition.shape) == (0, 0, [])
    assert store.mem_info.external_size > 0  # the skip buffer lives outside the NPs
    assert load.mem_info == NP.MemoryInfo()  # loads keep no memory figures
    assert [item.name for item in model.layers
            if item.mapping and item.mapping.skipdma_stores] == ["c1"]
    counts = model.component_count
    assert counts[NP.SKIP_DMA_STORE] == 1 and counts[NP.SKIP_DMA_LOAD] == 1
    assert list(counts) == sorted(counts, key=int)
    nps = [c for item in model.layers if item.mapping for c in item.mapping.nps]
    assert counts[NP.CNP1] == len(nps)
    assert model.external_memory_size == store.mem_info.external_size + sum(
        c.mem_info.external_size for c in nps)


class FirstOffered(core.MapConstraints):
    """Keeps answering with the first NP of each type it was ever offered."""

    def __init__(self, device):
        super().__init__(device)
        self.kept = {}

    def select_nps(self, candidates, count, hw_type):
        return [self.kept.setdefault(hw_type, candidates[0])] * count


class Absent(core.MapConstraints):
    def select_nps(self, candidates, count, hw_type):
        return [NP.Ident(9, 9, 9)] * count


class Repeated(core.MapConstraints):
    def __init__(self, device):
        super().__init__(device)
        self.cnp_max_filters = 4  # eight filters need two NPs

    def select_nps(self, candidates, count, hw_type):
        return [candidates[0]] * count


# A hook that chooses an NP it was not offered (taken by an earlier layer, absent from the
# mesh) or one NP twice is refused, and the model stays unmapped.
@pytest.mark.parametrize("constraints_class, make_model, make_device, chosen", [
    (FirstOffered, convolution_model, v2_device, r"\(1, 1, 0\) for a CNP1"),
    (Absent, v1_model, v1_device, r"\(9, 9, 9\) for a CNP1"),
    (Repeated, convolution_model, v2_device, r"\(1, 1, 0\) for a CNP1"),
], ids=["taken", "absent", "repeated"])
def test_select_nps_must_choose_among_the_free_candidates(constraints_class, make_model,
                                                          make_device, chosen):
    device, model = make_device(), make_model()
    with pytest.raises(ValueError, match="^select_nps must choose each NP once among the free "
                                         "candidates; it chose " + chosen + r"\.$"):
        model._map(device, constraints=constraints_class(device))
    assert model.sequences == [] and model.device is None
    assert all(item.mapping is None for item in model.layers)
