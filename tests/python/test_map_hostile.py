"""Mapping with hostile input from Python: select_nps results that are no list of NP.Ident,
constraints of another device, models with nothing for the hardware, mapping objects outliving
their model, and bad inputs to a model mapped on a board."""

import gc
import re

import numpy as np
import pytest

import morla.core as core
import test_map_v2 as v2
from map_models import NP, v1_device, v1_model


def v1_case():
    return v1_model(), v1_device()


def v2_case():
    return v2.fnp_model(), v2.v2_device()


class Choose(core.MapConstraints):
    def __init__(self, device, choose):
        super().__init__(device)
        self.choose = choose

    def select_nps(self, source_nps, num_nps, type):
        return self.choose(list(source_nps), num_nps)


@pytest.mark.parametrize("result", [None, "abc", 7, [1, 2], [NP.Ident(1, 2, 0), None]])
def test_a_result_that_is_no_ident_list_names_itself(result):
    model, device = v1_case()
    constraints = Choose(device, lambda source, count: result)
    with pytest.raises(RuntimeError, match=r"^Unable to cast the result of select_nps \("):
        model._map(device, hw_only=True, constraints=constraints)


@pytest.mark.parametrize("case", [v1_case, v2_case], ids=["v1", "v2"])
def test_mapping_objects_outlive_a_remapped_and_dropped_model(case):
    model, device = case()
    model._map(device, hw_only=True)
    [sequence] = model.sequences
    passes = sequence.passes
    mappings = [l.mapping for l in model.layers if l.mapping is not None]
    for _ in model.layers:
        model._map(device, hw_only=True)
    del model
    gc.collect()
    assert sequence.program and core.get_program_memory_infos(sequence.program)
    assert [l.name for p in passes for l in p.layers]
    assert all(str(c.ident) for m in mappings for c in m.nps + m.skipdma_stores)


@pytest.mark.parametrize("make_device", [v1_device, v2.v2_device], ids=["v1", "v2"])
def test_hardware_only_mapping_of_nothing_mappable_names_the_layer(make_device):
    model = core.Model()
    model.add(core.Layer(core.LayerParams(core.InputData, dict(
        input_width=8, input_height=8, input_channels=1)), "in"))
    with pytest.raises(RuntimeError, match=r"^Cannot map layer 'in'\. No layer from this one on "
                                           r"runs on a hardware component\.$"):
        model._map(make_device(), hw_only=True)
    model._map(make_device())
    assert [s.backend for s in model.sequences] == [core.BackendType.Software]


@pytest.mark.parametrize("other", [
    lambda: v2.v2_device(),
    lambda: core.Device(core.Orbi_v2, NP.Mesh(core.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1),
                                              NP.Info.hrc(False), [])),
], ids=["other_version", "other_mesh"])
def test_constraints_of_another_device_are_refused(other):
    model, device = v1_case()
    with pytest.raises(ValueError, match=r"^The map constraints were made for another device\.$"):
        model._map(device, hw_only=True, constraints=core.MapConstraints(other()))
    assert model.sequences == []
    # Constraints of an equal device are those of the device.
    model._map(device, hw_only=True, constraints=core.MapConstraints(v1_device()))
    assert [s.backend for s in model.sequences] == [core.BackendType.Hardware]


class Changing(core.MapConstraints):
    """Changes the model once, from the hook named by `hook`."""

    def __init__(self, device, model, hook, change):
        super().__init__(device)
        self.model, self.hook, self.change = model, hook, change

    def select_nps(self, source_nps, num_nps, type):
        self.change_once("select_nps")
        return list(source_nps)[:num_nps]

    def next_layer_handler(self, name):
        self.change_once("next_layer_handler")

    def change_once(self, hook):
        if hook == self.hook and self.change:
            self.change, change = None, self.change
            change(self.model)


def write_weights(model):
    weights = model.get_layer("conv").variables["weights"]
    model.get_layer("conv").variables["weights"] = 1 - weights


@pytest.mark.parametrize("change", [lambda m: m.pop_layer(), write_weights],
                         ids=["pop_layer", "write_weights"])
@pytest.mark.parametrize("hook", ["select_nps", "next_layer_handler"])
def test_a_hook_that_changes_the_model_leaves_it_unmapped(hook, change):
    model, device = v1_case()
    with pytest.raises(ValueError, match=r"^The model changed while it was being mapped\.$"):
        model._map(device, constraints=Changing(device, model, hook, change))
    assert model.sequences == [] and model.device is None
    assert all(item.mapping is None for item in model.layers)
    model._map(device)
    assert [s.backend for s in model.sequences] == [core.BackendType.Hardware]


# A hook that maps the model again is refused, so that no inner mapping outlives the outer
# call: raised through the hook, the refusal ends the outer call and leaves the model
# unmapped; caught there, the outer call maps the model alone.
@pytest.mark.parametrize("swallow", [False, True], ids=["raised", "caught"])
@pytest.mark.parametrize("hook", ["select_nps", "next_layer_handler"])
def test_a_hook_that_maps_the_model_again_is_refused(hook, swallow):
    model, device = v1_case()
    message = "The model is being mapped: a mapping hook cannot map it again."
    refusals = []

    def map_again(m):
        try:
            m._map(device)
        except RuntimeError as error:
            refusals.append(str(error))
            if not swallow:
                raise

    constraints = Changing(device, model, hook, map_again)
    if swallow:
        model._map(device, hw_only=True, constraints=constraints)
        assert [s.backend for s in model.sequences] == [core.BackendType.Hardware]
        assert all(item.mapping is not None for item in model.layers)
    else:
        with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
            model._map(device, hw_only=True, constraints=constraints)
        assert model.sequences == [] and model.device is None
        assert all(item.mapping is None for item in model.layers)
    assert refusals == [message]


# The v1 and v2 registers select an NP, and the DMAs they send to, by a four-bit one-hot mask
# of its identifier; the configuration DMA reaches the v1 FNP2 registers only.
@pytest.mark.parametrize("ident", [4, 16, 31, 32, 255])
@pytest.mark.parametrize("role", ["np", "dma_event", "dma_conf"])
@pytest.mark.parametrize("case", [v1_case, v2_case], ids=["v1", "v2"])
def test_an_identifier_the_ip_cannot_select_is_refused(case, role, ident):
    model, device = case()
    mesh = device.mesh
    nps, dmas = list(mesh.nps), {"dma_event": mesh.dma_event, "dma_conf": mesh.dma_conf}
    if role == "np":
        nps[-1] = NP.Info(NP.Ident(nps[-1].ident.col, nps[-1].ident.row, ident), nps[-1].types,
                          nps[-1].has_lut)
        message = rf"^The NP at column {nps[-1].ident.col}, row {nps[-1].ident.row} has "
        message += rf"identifier {ident}: the IP addresses NP identifiers 0 to 3 only\.$"
    else:
        dmas[role] = NP.Ident(dmas[role].col, dmas[role].row, ident)
        message = rf"^The DMA {role} at column {dmas[role].col}, row {dmas[role].row} has "
        message += rf"identifier {ident}: the IP addresses identifiers 0 to 3 only\.$"
    ip = core.IpVersion.v1 if case is v1_case else core.IpVersion.v2
    odd = core.Device(device.version, NP.Mesh(ip, dmas["dma_event"], dmas["dma_conf"], mesh.hrc,
                                              nps, mesh.skip_dmas))
    if case is v2_case and role == "dma_conf":
        model._map(odd, hw_only=True)
        twin = v2_case()[0]
        twin._map(device, hw_only=True)
        assert [s.program for s in model.sequences] == [s.program for s in twin.sequences]
        return
    with pytest.raises(ValueError, match=message):
        model._map(odd)
    assert model.sequences == []


def test_a_model_mapped_on_a_board_checks_its_inputs_and_layers_before_the_board_runs(build_dir, tmp_path):
    from map_models import inputs
    from test_map_board import Board, programs_on_board_device, save

    started = []

    def boards(pairs=(), extra_options=()):
        started.append(Board(build_dir, pairs, extra_options))
        return started[-1]

    try:
        model_file = save(v1_model(), tmp_path / "model.fbz")
        programs = programs_on_board_device(boards, model_file, tmp_path)
        board = boards([(programs["HW/hrc-fc"], model_file)])
        np.save(tmp_path / "x.npy", inputs(2))
        child = """
            x = np.load(sys.argv[2])
            model = core.Model(sys.argv[1])
            model._map(core.devices()[0])
            if sys.argv[3] == "bad":
                for bad, message in ((np.zeros((2, 8, 8, 1), np.uint8), "do not match the model's input shape"),
                                     (x.astype(np.float32), "takes integer inputs"),
                                     (np.full((2, 16, 16, 1), 1000, np.int16), "outside the range"),
                                     (np.full((2, 16, 16, 1), -3, np.int8), "outside the range")):
                    with pytest.raises(ValueError, match=message):
                        model.forward(bad)
                # A variable written since the mapping, even with its own values: the program
                # holds the values as they were. Mapping again takes the new ones.
                fc = model.get_layer("fc").variables
                fc["weights"] = fc["weights"]
                with pytest.raises(RuntimeError, match="^The model changed since it was mapped"):
                    model.forward(x)
                model._map(core.devices()[0])
            np.testing.assert_array_equal(model.forward(x.astype(np.int16)),
                                          core.Model(sys.argv[1]).forward(x))
            if sys.argv[3] == "bad":
                # The programs on the board are those of the model as it was mapped.
                model.pop_layer()
                with pytest.raises(RuntimeError, match="^The model changed since it was mapped"):
                    model.forward(x)
                model.add(core.Layer(core.LayerParams(core.FullyConnected,
                                                      dict(units=10, weights_bits=1)), "other"))
                with pytest.raises(RuntimeError, match="^The model changed since it was mapped"):
                    model.forward(x)
            print("done")
        """
        assert board.run(child, model_file, tmp_path / "x.npy", "good")[-1] == "done"
        good_only = board.stats()["runs"]
        assert board.run(child, model_file, tmp_path / "x.npy", "bad")[-1] == "done"
        # The refused inputs never reached the board.
        assert board.stats()["runs"] == 2 * good_only
    finally:
        for board in started:
            board.close()
