"""Mapped models on a simulated board. The simulator does not execute NP programs (a real
chip runs the program itself): it is started with pairs (device program, model file) and
answers a loaded program equal to a pair's program with that model's software outputs.
Each pair's program is obtained beforehand by mapping the model on a device without
hardware that has the simulator's version and mesh. Program correctness rests on the
recorder and program-format tests; these tests check the road from Model._map to the
board and back. The device list is built once per process, so each scenario runs in a
child interpreter."""

import os
import re
import signal
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
import pytest

import morla.core as core
from map_models import inputs, v1_model

CHILD_TIMEOUT = 120
SIM_OPTIONS = ("--soc", "2", "--fnp3")  # an Orbi v2 board with a fully connected NP
PRELUDE = """
import sys
import time
import numpy as np
import pytest
import morla.core as core
"""


class Board:
    """A board_sim process; `run` executes code in a child interpreter attached to it."""

    def __init__(self, build_dir, pairs=(), extra_options=()):
        options = list(SIM_OPTIONS) + list(extra_options)
        for program, model in pairs:
            options += ["--pair", f"{program}={model}"]
        self.errors = tempfile.TemporaryFile("w+")
        self.process = subprocess.Popen([str(build_dir / "board_sim"), *options],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=self.errors, text=True)
        self.port = self.process.stdout.readline().strip()

    def run(self, code, *args):
        env = dict(os.environ, MORLA_SERIAL_PORT=self.port,
                   PYTHONPATH=os.pathsep.join(sys.path))
        env.pop("NO_USB", None)
        result = subprocess.run(
            [sys.executable, "-P", "-c", PRELUDE + textwrap.dedent(code), *map(str, args)],
            env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
        assert result.returncode == 0, result.stdout + result.stderr
        return result.stdout.splitlines()

    def stats(self):
        self.process.stdin.write("stats\n")
        self.process.stdin.flush()
        fields = dict(item.split("=") for item in self.process.stdout.readline().split())
        return {key: int(value) for key, value in fields.items()}

    def stderr(self):
        self.errors.seek(0)
        return self.errors.read()

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


@pytest.fixture
def boards(build_dir):
    started = []

    def start(pairs=(), extra_options=()):
        started.append(Board(build_dir, pairs, extra_options))
        return started[-1]

    yield start
    for board in started:
        board.close()


def programs_on_board_device(boards, model_file, folder):
    """Maps the model file on a device without hardware of the simulator's version and mesh;
    returns the program file of each hardware sequence, by sequence name."""
    lines = boards().run("""
        folder = sys.argv[2]
        device = core.devices()[0]
        model = core.Model(sys.argv[1])
        model._map(core.Device(device.version, device.mesh))
        for index, sequence in enumerate(model.sequences):
            if sequence.program is not None:
                path = f"{folder}/program{index}.bin"
                open(path, "wb").write(sequence.program)
                print(sequence.name, path)
    """, model_file, folder)
    return dict(line.split() for line in lines if line.startswith("HW/"))


def save(model, path):
    model.save(str(path))
    return path


def test_a_mapped_model_runs_on_the_board(boards, tmp_path):
    model_file = save(v1_model(), tmp_path / "model.fbz")
    programs = programs_on_board_device(boards, model_file, tmp_path)
    assert list(programs) == ["HW/hrc-fc"]
    board = boards([(programs["HW/hrc-fc"], model_file)])
    x = inputs(4)
    np.save(tmp_path / "x.npy", x)
    lines = board.run("""
        x = np.load(sys.argv[2])
        expected = core.Model(sys.argv[1]).forward(x)
        [device] = core.devices()
        soc = device.soc
        soc.power_measurement_enabled = True
        deadline = time.monotonic() + 30
        while not soc.power_meter.events() and time.monotonic() < deadline:
            time.sleep(0.01)
        model = core.Model(sys.argv[1])
        model._map(device)
        assert model.device == device
        first = model.forward(x)
        np.testing.assert_array_equal(first, expected)
        assert first.dtype == expected.dtype
        np.testing.assert_array_equal(model.forward(x), expected)
        assert model.metrics["inference_clk"] > 0
        assert model.metrics["program_clk"] > 0
        assert model.metrics["inference_frames"] == len(x)
        assert model.power_events, "no power events"
        soc.power_measurement_enabled = False

        # The same program through the device itself.
        sequence = model.sequences[0]
        device.program = sequence.program
        np.testing.assert_array_equal(device.forward(x), expected)
        assert device.program == sequence.program
        # Only the info, the program data written beforehand at the memory's start.
        parts = sequence.program_parts
        device.program = parts.program_data
        device.program_external(parts.program_info, 0x24000000)
        assert device.program == parts.program_info
        np.testing.assert_array_equal(device.forward(x), expected)
        # A program the board does not know ends the run with a device error.
        device.program = sequence.program[:-4] + bytes(4)
        with pytest.raises(RuntimeError, match="device reported an error"):
            device.forward(x)
        print("done")
    """, model_file, tmp_path / "x.npy")
    assert lines[-1] == "done"
    # The probe's program, the model's once for two forwards, then the four set through the
    # device (the program, the data alone, the info over it, the unknown program).
    assert board.stats()["loads"] == 6
    # The unknown program is named on the simulator's standard error, beside the pairs.
    size, pair = os.path.getsize(programs["HW/hrc-fc"]), re.escape(programs["HW/hrc-fc"])
    assert re.search(rf"^board_sim: the loaded program \({size} bytes, CRC-32C [0-9a-f]{{8}}\) "
                     rf"matches no --pair \({pair} \({size} bytes, ", board.stderr(), re.M)


def test_hardware_and_software_sequences_together(boards, tmp_path):
    model = v1_model(odd_layer=True)
    model_file = save(model, tmp_path / "model.fbz")
    programs = programs_on_board_device(boards, model_file, tmp_path)
    assert list(programs) == ["HW/hrc", "HW/conv-fc"]
    # The board answers each program with the layers it runs.
    first = save(core.Model([model.get_layer("hrc")]), tmp_path / "hrc.fbz")
    rest = save(core.Model([model.get_layer("conv"), model.get_layer("fc")]),
                tmp_path / "rest.fbz")
    board = boards([(programs["HW/hrc"], first), (programs["HW/conv-fc"], rest)])
    np.save(tmp_path / "x.npy", inputs(3))
    lines = board.run("""
        x = np.load(sys.argv[2])
        model = core.Model(sys.argv[1])
        model._map(core.devices()[0])
        print([s.name for s in model.sequences])
        # A software sequence reads its layers' variables as they are.
        odd = model.get_layer("odd").variables
        odd["weights"] = odd["weights"]
        np.testing.assert_array_equal(model.forward(x), core.Model(sys.argv[1]).forward(x))
        print("done")
    """, model_file, tmp_path / "x.npy")
    assert lines[-2:] == ["['HW/hrc', 'SW/odd', 'HW/conv-fc']", "done"]


def test_learning_on_the_board_is_read_back(boards, tmp_path):
    model_file = save(v1_model(learning=True), tmp_path / "model.fbz")
    programs = programs_on_board_device(boards, model_file, tmp_path)
    board = boards([(programs["HW/hrc-fc"], model_file)])
    x = inputs(6, seed=5)
    labels = np.array([0, 1, 2, 3, 4, 0], np.int32)
    np.save(tmp_path / "x.npy", x)
    np.save(tmp_path / "labels.npy", labels)
    lines = board.run("""
        x, labels = np.load(sys.argv[2]), np.load(sys.argv[3])
        reference = core.Model(sys.argv[1])
        reference.fit(x, labels)
        model = core.Model(sys.argv[1])
        device = core.devices()[0]
        model._map(device)
        # A model of the same file (its program byte-equal) that never learns.
        other = core.Model(sys.argv[1])
        other._map(device)
        taught, untaught = reference.forward(x), core.Model(sys.argv[1]).forward(x)
        assert not np.array_equal(taught, untaught)
        before = model.get_layer("fc").variables["weights"].copy()
        model.fit(x, labels)
        # Run next, before the model that learned, it runs its program's image, not what the
        # fit left in the board's learning memory.
        np.testing.assert_array_equal(other.forward(x), untaught)
        learned = model.get_layer("fc").variables
        expected = reference.get_layer("fc").variables
        assert not np.array_equal(learned["weights"], before)
        for name in ("weights", "threshold_learning", "thswap"):
            np.testing.assert_array_equal(learned[name], expected[name], err_msg=name)
        np.testing.assert_array_equal(model.forward(x), reference.forward(x))

        # The learning memory: neurons of S words after the FNP3's two leading words.
        image = device.learn_mem
        units, inputs_count = expected["weights"].shape[1], expected["weights"].shape[0]
        stride = (inputs_count + 31) // 32 + 4
        assert len(image) == 4 * (2 + units * stride)
        words = np.frombuffer(image, np.uint32)[2:].reshape(units, stride)
        bits = (words[:, 4:, None] >> np.arange(32, dtype=np.uint32)) & 1
        np.testing.assert_array_equal(bits.reshape(units, -1)[:, :inputs_count],
                                      expected["weights"].T)
        np.testing.assert_array_equal((words[:, 3] >> 16) | (words[:, 2] & 0xF0000),
                                      expected["threshold_learning"])
        outputs = model.forward(x)
        device.learn_mem = image
        np.testing.assert_array_equal(model.forward(x), outputs)
        for wrong in (image[:-4], image + bytes(4)):
            with pytest.raises(RuntimeError, match="^Unexpected input buffer size.$"):
                device.learn_mem = wrong

        # Whatever else runs on the board, each model runs what it holds: the learned
        # values, and the other model its program's image.
        for act in (lambda: None, device.unprogram, lambda: device.fit(x, labels),
                    lambda: setattr(device, "learn_mem", bytes(len(image)))):
            model.forward(x)
            act()
            np.testing.assert_array_equal(model.forward(x), taught)
            np.testing.assert_array_equal(other.forward(x), untaught)
        print("done")
    """, model_file, tmp_path / "x.npy", tmp_path / "labels.npy")
    assert lines[-1] == "done"


def probe_model():
    """The one-layer model that device enumeration runs on an Orbi v2 board first."""
    model = core.Model()
    model.add(core.Layer(core.LayerParams(core.InputConvolutional, dict(
        input_width=8, input_height=8, input_channels=1, kernel_width=3, kernel_height=3,
        padding=1, stride_x=2, stride_y=2, filters=1, weights_bits=1, padding_value=0,
        activation=1, act_bits=1, pooling_width=2, pooling_height=2, pool_type=1,
        pooling_stride_x=2, pooling_stride_y=2)), "inputconv"))
    model.layers[0].variables["weights"] = np.ones((3, 3, 1, 1), np.int8)
    return model


def test_the_start_up_probe_of_an_orbi_v2_board(boards, tmp_path):
    model_file = save(probe_model(), tmp_path / "probe.fbz")
    programs = programs_on_board_device(boards, model_file, tmp_path)
    pair = (programs["HW/inputconv"], model_file)
    stats = {}
    for failing in (0, 1):
        board = boards([pair], ["--fail-runs", str(failing)])
        lines = board.run("print(len(core.devices()), core.devices()[0].version == core.Orbi_v2)")
        assert lines[-1] == "1 True"  # listed once either way
        stats[failing] = board.stats()
        assert stats[failing]["loads"] == 1 and stats[failing]["runs"] == 1
    # A failed test inference creates the device once more.
    assert stats[1]["version_reads"] == stats[0]["version_reads"] + 1


@pytest.mark.parametrize("model_name, reasons", [
    # The whole model of several sequences.
    ("model.fbz", ["the model does not hold the program's layers", "the model takes (16, 16, 1)"]),
    # A model file that is not there: the loader's text, and the file named.
    ("missing.fbz", ["cannot load the model file {model}: File not found."]),
])
def test_a_pair_that_cannot_be_played_is_refused(boards, build_dir, tmp_path, model_name, reasons):
    save(v1_model(odd_layer=True), tmp_path / "model.fbz")
    programs = programs_on_board_device(boards, tmp_path / "model.fbz", tmp_path)
    model = tmp_path / model_name
    result = subprocess.run([str(build_dir / "board_sim"), *SIM_OPTIONS, "--pair",
                             f"{programs['HW/conv-fc']}={model}"],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
    assert result.returncode == 2 and result.stdout == ""
    for reason in reasons:
        assert reason.format(model=model) in result.stderr


def test_until_signal_serves_after_the_input_ends(boards):
    board = boards(extra_options=["--until-signal"])
    board.process.stdin.close()
    assert board.run("print(len(core.devices()))")[-1] == "1"
    board.process.send_signal(signal.SIGTERM)
    assert board.process.wait(timeout=30) == 0
