"""Hardware devices from Python: the device list, SoC clock modes, power measurement,
programs, learning memory, on-device runs and the board flash, against a simulated
board served by the board_sim program. The device list is built once per process, so
each scenario runs in a child interpreter."""

import os
import subprocess
import sys
import textwrap

import pytest

import morla.core as core

CHILD_TIMEOUT = 120


@pytest.fixture
def board(build_dir):
    """Starts a simulated board; yields a function that runs code in a child
    interpreter attached to it."""

    def start(*options):
        sim = subprocess.Popen([str(build_dir / "board_sim"), *options], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
        started.append(sim)
        return sim.stdout.readline().strip()

    started = []

    def run(code, *options):
        env = dict(os.environ, MORLA_SERIAL_PORT=start(*options))
        env.pop("NO_USB", None)
        return run_child(code, env)

    yield run
    for sim in started:
        sim.stdin.close()
        sim.wait(timeout=30)


def run_child(code, env):
    prelude = "import time\nimport numpy as np\nimport pytest\nimport morla.core as core\n"
    result = subprocess.run([sys.executable, "-P", "-c", prelude + textwrap.dedent(code)], env=env,
                            capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_no_device_without_usb():
    env = dict(os.environ, NO_USB="1")
    out = run_child("print(core.devices() == [], core.devices() == [])", env)
    assert out.splitlines()[-1] == "True True"


def test_a_port_that_never_answers_is_left_out():
    master, slave = os.openpty()
    try:
        env = dict(os.environ, MORLA_SERIAL_PORT=os.ttyname(slave))
        env.pop("NO_USB", None)
        out = run_child("print(core.devices() == [], core.devices() == [])", env)
    finally:
        os.close(slave)
        os.close(master)
    assert "Error reading at 0xf0000010 len: 4 errno(110): Connection timed out" in out
    assert out.splitlines()[-1] == "True True"


def test_device_list_clock_modes_and_power(board):
    out = board("""
        devices = core.devices()
        assert len(devices) == 1
        dev = devices[0]
        assert isinstance(dev, core.HardwareDevice) and isinstance(dev, core.Device)
        assert core.devices()[0] == dev and core.devices()[0] is not None
        assert dev.version == core.Orbi_v1 and dev.ip_version == core.v1
        assert dev.desc == "USB/Orbi_v1"
        assert len(dev.mesh.nps) == 3
        assert not (dev == None)
        with pytest.raises(TypeError):
            hash(dev)

        soc = dev.soc
        assert isinstance(soc, core.SocDriver)
        assert soc.clock_mode == core.soc.Performance
        for mode in (core.soc.Economy, core.soc.LowPower, core.soc.Performance):
            soc.clock_mode = mode
            assert soc.clock_mode == mode
        with pytest.raises(TypeError):
            soc.clock_mode = 100000000

        assert not soc.power_measurement_enabled and soc.power_meter is None
        soc.power_measurement_enabled = True
        assert soc.power_measurement_enabled
        meter = soc.power_meter
        deadline = time.monotonic() + 30
        while not meter.events() and time.monotonic() < deadline:
            time.sleep(0.01)
        event = meter.events()[0]
        assert (event.voltage, event.current, event.power) == (1200000, 500, 600)
        assert meter.floor == 600.0
        assert len(meter.events()) <= 100
        soc.clock_mode = core.soc.Economy  # resets the floor, keeps the events
        assert meter.events() and meter.floor in (0.0, 600.0)
        soc.power_measurement_enabled = False
        assert soc.power_meter is None and not soc.power_measurement_enabled
        assert meter.events()[0].ts == event.ts
        soc.power_measurement_enabled = None  # taken as False
        print("done")
    """, "--soc", "1")
    assert out.splitlines()[-1] == "done"


def test_program_learning_memory_and_runs(board):
    out = board("""
        dev = core.devices()[0]
        assert dev.program is None
        dev.program = b"\\x01\\x02\\x03\\x04\\x05"
        assert dev.program == b"\\x01\\x02\\x03\\x04\\x05"
        assert "program_clk" in dev.metrics.names
        assert "program_clk" in core.devices()[0].metrics.names  # the same device
        assert dev.memory == (5, 5)
        dev.reset_top_memory()
        for wrong in (bytearray(b"ab"), memoryview(b"ab"), "ab"):
            with pytest.raises(TypeError):
                dev.program = wrong
        with pytest.raises(TypeError):
            dev.program_external(b"ab", -1)
        dev.unprogram()
        assert dev.program is None
        dev.program_external(b"info", 0x25000000)

        assert dev.learn_mem == bytes(12)
        for accepted in range(12, 16):
            dev.learn_mem = bytes(range(1, accepted + 1))
            assert dev.learn_mem == bytes(range(1, 13))
        for refused in (11, 16, 0):
            with pytest.raises(RuntimeError, match="^Unexpected input buffer size.$"):
                dev.learn_mem = bytes(refused)
        dev.learn_enabled = True
        assert dev.learn_enabled
        dev.learn_enabled = True

        frames = np.zeros((3, 2, 2, 1), np.uint8)
        with pytest.raises(RuntimeError, match="Should be 4 or 2"):
            dev.forward(np.zeros((3, 2, 2), np.uint8))
        with pytest.raises(RuntimeError, match="dimension 0 set to 0"):
            dev.predict(np.zeros((0, 2, 2, 1), np.uint8))
        for labels in (2.5, np.array([1, 2, 3], np.float32), [1.0, 2.0]):
            with pytest.raises(ValueError, match="^fit method expects integers as labels$"):
                dev.fit(frames, labels)
        with pytest.raises(RuntimeError, match="^Number of labels should be the same"):
            dev.fit(frames, [1, 2])
        with pytest.raises(TypeError):
            dev.fit(frames, (1, 2, 3))
        with pytest.raises(TypeError):
            dev.forward(inputs=frames)
        # The board knows no such program: the device's error comes through.
        for run in (lambda: dev.forward(frames), lambda: dev.predict(frames.astype(float)),
                    lambda: dev.fit(frames, 2), lambda: dev.fit(frames, np.int64(2)),
                    lambda: dev.fit(frames, np.array([1, 2, 3])), lambda: dev.fit(frames)):
            with pytest.raises(RuntimeError, match="device reported an error"):
                run()
        assert "inference_frames" not in dev.metrics.names
        assert dev.inference_power_events == []

        with pytest.raises(ValueError, match="^The device does not contain an MRL7700 flash$"):
            core.boardMrl7700.get_flash(dev)
        assert dev.soc.clock_mode == core.soc.Performance  # still usable
        print("done")
    """, "--soc", "1", "--learn-words", "3")
    assert out.splitlines()[-1] == "done"


def test_ina233_over_i3c_and_exit_while_sampling(board):
    # The child leaves measurement on and the device programmed: the sampling thread
    # is stopped and the program dropped at exit.
    out = board("""
        core.devices()[0].program = b"program"
        soc = core.devices()[0].soc
        soc.power_measurement_enabled = True
        meter = soc.power_meter
        deadline = time.monotonic() + 30
        while not meter.events() and time.monotonic() < deadline:
            time.sleep(0.01)
        event = meter.events()[0]
        print(event.voltage, event.current, event.power)
    """, "--soc", "1", "--ina233", "--i3c")
    assert out.splitlines()[-1] == "1200000 500 600"


# With no option the simulator is the Orbi v2 board of examples/ip_v1.py (its last NP also
# fully connected); --soc 1 is an Orbi v1.
@pytest.mark.parametrize("options, listed", [
    ((), "USB/Orbi_v2 True"), (("--no-fnp3",), "USB/Orbi_v2 False"),
    (("--soc", "1"), "USB/Orbi_v1 True")])
def test_board_sim_is_an_orbi_v2_board_with_an_fnp3_by_default(board, options, listed):
    out = board("""
        [dev] = core.devices()
        print(dev.desc, any(core.NP.FNP3 in np.types for np in dev.mesh.nps))
    """, *options)
    assert out.splitlines()[-1] == listed


def test_classes_have_no_constructors():
    for cls in (core.HardwareDevice, core.SocDriver, core.PowerMeter, core.PowerEvent,
                core.SpiFlashController):
        with pytest.raises(TypeError):
            cls()


def test_get_flash_takes_only_hardware_devices():
    virtual = core.Device(core.HwVersion(1, 0, 0, 2), core.NP.Mesh(
        core.v1, core.NP.Ident(1, 1, 0), core.NP.Ident(1, 1, 1), None, []))
    with pytest.raises(TypeError):
        core.boardMrl7700.get_flash(virtual)
    with pytest.raises(ValueError, match="MRL7700 flash"):
        core.boardMrl7700.get_flash(None)
    assert core.boardMrl7700.__doc__ == (
        "Spi flash controller for the mrl7700meant for testing, debugging and validation only.")
    assert not hasattr(core.boardMrl7700, "SpiFlashController")


def test_docstrings():
    assert core.HardwareDevice.fit.__doc__.count("Learn from inputs on a programmed device.") == 3
    assert core.devices.__doc__.startswith("devices() -> list")
    assert core.SocDriver.clock_mode.__doc__ == "Clock mode of the Orbi."
    assert core.HardwareDevice.memory.__doc__ == "The device memory usage and top usage (in bytes)"
    assert core.PowerMeter.floor.__doc__ == "Get the floor power"
