"""Boards through each of the three drivers at once: a simulated USB board, an Orbi
board behind the fake J-Link probe library and one as FPGA board files. The device list
is built once per process, so each scenario runs in a child interpreter; a board serves
one of them at a time."""

import os
import subprocess
import sys

import pytest

from conftest import REPO

CHILD_TIMEOUT = 120


@pytest.fixture
def three_boards(build_dir):
    """The environment of a process that finds a board through every driver."""
    usb = subprocess.Popen([str(build_dir / "board_sim"), "--soc", "1"], stdin=subprocess.PIPE,
                           stdout=subprocess.PIPE, text=True)
    files = subprocess.Popen([str(build_dir / "board_files"), str(build_dir / "libfake_jlink.so")],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    env = dict(os.environ, MORLA_SERIAL_PORT=usb.stdout.readline().strip())
    env.update(item.split("=", 1) for item in files.stdout.readline().split())
    env.pop("NO_USB", None)
    env.pop("HW_DUMP", None)
    yield env
    for sim in (usb, files):
        sim.stdin.close()
        sim.wait(timeout=30)


def run(args, env):
    result = subprocess.run([sys.executable, "-P", *args], env=env, capture_output=True, text=True,
                            timeout=CHILD_TIMEOUT)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_devices_lists_a_board_through_each_driver(three_boards):
    out = run(["-c", "import morla.core as core\n"
                     "for d in core.devices():\n"
                     "    print(d.desc, d.version == core.Orbi_v1, len(d.mesh.nps), d.soc is not None)"],
              three_boards)
    assert out.splitlines()[-3:] == ["USB/Orbi_v1 True 3 True", "Jlink/Orbi_v1 True 3 False",
                                     "fpga-Orbi_v1 True 3 False"]


def test_demo_lists_the_attached_boards(three_boards):
    out = run([str(REPO / "examples" / "quickstart.py")], three_boards)
    listing = out[out.index("Attached boards: 3\n"):].splitlines()
    assert [line.split(":")[0].strip() for line in listing[1:]] == [
        "USB/Orbi_v1", "Jlink/Orbi_v1", "fpga-Orbi_v1"]
    assert listing[1].endswith("clock Performance") and listing[2].endswith("3 NPs")


@pytest.mark.parametrize("named", ["missing", None])
def test_a_named_port_that_cannot_be_opened_is_reported(tmp_path, named):
    """One line names the port and the reason; without MORLA_SERIAL_PORT discovery says
    nothing."""
    env = dict(os.environ)
    for name in ("NO_USB", "HW_DUMP", "JLINK_EN", "MORLA_SERIAL_PORT"):
        env.pop(name, None)
    env["MORLA_FPGA_DEVICE_PREFIX"] = str(tmp_path / "xdma")
    if named:
        env["MORLA_SERIAL_PORT"] = str(tmp_path / named)
    out = run(["-c", "import morla.core as core\nprint(core.devices())"], env)
    expected = [] if named is None else [
        f"MORLA_SERIAL_PORT names {tmp_path / named}, which cannot be opened: "
        "No such file or directory"]
    assert out.splitlines() == expected + ["[]"]


# Holds the boards it lists: a forked child leaves through the interpreter's own exit (its
# copies of the drivers torn down), then the holder says what it holds, reads the USB
# board's clock when a line comes, and ends when its input does.
HOLDER = """
import os, sys
import morla.core as core
boards = core.devices()
child = os.fork()
if child == 0:
    sys.exit(0)
os.waitpid(child, 0)
print("held:", *(board.desc for board in boards), flush=True)
sys.stdin.readline()
print("clock:", boards[0].soc.clock_mode.name, flush=True)
sys.stdin.readline()
"""
LIST = "import morla.core as core\nprint('listed:', *(board.desc for board in core.devices()))"


@pytest.mark.parametrize("end", ["exit", "kill"])
def test_a_board_serves_one_process_at_a_time(three_boards, end):
    """While a process (and its forked child's exit) holds the USB board and the FPGA board
    files, another lists neither (the named port's line says why); once the holder has
    ended, also by SIGKILL, a third process lists both."""
    env = dict(three_boards)
    env.pop("JLINK_EN")
    holder = subprocess.Popen([sys.executable, "-P", "-c", HOLDER], env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        lines = iter(holder.stdout.readline, "")
        assert next(line for line in lines if line.startswith("held:")) == \
            "held: USB/Orbi_v1 fpga-Orbi_v1\n"
        assert run(["-c", LIST], env).splitlines() == [
            f"MORLA_SERIAL_PORT names {env['MORLA_SERIAL_PORT']}, which cannot be opened: "
            "held by another process", "listed:"]
        holder.stdin.write("\n")
        holder.stdin.flush()
        assert next(lines) == "clock: Performance\n"
        if end == "kill":
            holder.kill()
        else:
            holder.stdin.close()
        assert holder.wait(timeout=CHILD_TIMEOUT) == (0 if end == "exit" else -9)
    finally:
        if holder.poll() is None:
            holder.kill()
            holder.wait()
    assert run(["-c", LIST], env).splitlines()[-1] == "listed: USB/Orbi_v1 fpga-Orbi_v1"
