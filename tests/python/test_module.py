import os
import pathlib
import shutil
import subprocess
import sys
import tomllib

import pytest

import morla
import morla.core as core


def test_module_identity():
    assert core.__doc__ == "Morla core library"
    assert isinstance(core.__version__, str) and core.__version__


def test_package_version_is_the_metadata_version():
    """morla.__version__ is the package's version (pyproject.toml, what pip reports);
    core.__version__ is the engine library's own version text."""
    pyproject = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    project = tomllib.loads(pyproject.read_text())["project"]
    assert morla.__version__ == project["version"]


def test_backend_type_exported():
    assert core.Hybrid is core.BackendType.Hybrid
    assert int(core.Hybrid) == 2
    assert core.BackendType(1) == core.Hardware


def test_soc_clock_modes():
    assert core.soc.__doc__ == "Morla Orbi specific functions"
    assert core.soc.Performance.value == 300000000
    assert core.soc.ClockMode.LowPower.value == 5000000
    assert core.soc.Economy.value == 100000000
    assert core.soc.ClockMode.__doc__.startswith("Clock mode configuration")


@pytest.mark.parametrize(
    "name, product, major, minor, ip",
    [
        ("Orbi_v1", 0x00, 0, 1, "v1"),
        ("Orbi_v2", 0x00, 0, 2, "v1"),
        ("TwoNodesIP_v1", 0xA1, 3, 6, "v1"),
        ("MRL7700_v1", 0xA1, 3, 9, "v1"),
        ("FPGA_v2", 0xA2, 1, 0, "v2"),
        ("Mote_FPGA", 0xB1, 1, 0, "mote"),
    ],
)
def test_device_version_constants(name, product, major, minor, ip):
    v = getattr(core, name)
    assert (v.product_id, v.major_rev, v.minor_rev) == (product, major, minor)
    assert v.vendor_id == core.Orbi_v1.vendor_id
    assert v.ip_version == getattr(core, ip)


def test_hw_version_text_and_equality():
    assert str(core.HwVersion(0x10, 0xA1, 3, 9)) == "10.A1.003.009"
    assert repr(core.HwVersion(0x0A, 0xB1, 12, 200)) == "0A.B1.012.200"
    assert core.HwVersion(1, 2, 3, 4) == core.HwVersion(1, 2, 3, 4)
    assert not (core.HwVersion(1, 2, 3, 4) == 5)
    with pytest.raises(TypeError):
        hash(core.HwVersion(1, 2, 3, 4))
    assert core.HwVersion(1, 0xA3, 0, 0).ip_version == core.none


@pytest.mark.parametrize("args", [(1, 2, 3, 4.0), (256, 0, 0, 0), (0, -1, 0, 0)])
def test_hw_version_refuses_non_bytes(args):
    with pytest.raises(TypeError):
        core.HwVersion(*args)


def test_hw_version_is_positional_only():
    with pytest.raises(TypeError):
        core.HwVersion(vendor_id=1, product_id=2, major_rev=3, minor_rev=4)


def test_ip_version_enum():
    assert core.IpVersion(2) == core.v2
    assert int(core.mote) == 3
    assert core.IpVersion.__doc__.startswith("The reference Morla IP version")
    assert {"none", "v1", "v2", "mote", "Software", "Hardware", "Hybrid"} <= set(dir(core))


def test_submodules_and_docstrings():
    assert core.NP.__doc__ == "Neural Processor"
    assert core.nn.__doc__.startswith("Morla Neural Network software internal functions.")
    assert core.graph_utils.__doc__.startswith("Morla graph utilities")
    assert core.boardMrl7700.__doc__.startswith("Spi flash controller for the mrl7700meant")
    for name in ("NP", "soc", "nn", "boardMrl7700", "graph_utils"):
        assert getattr(core, name).__name__ == core.__name__ + "." + name
        assert core.__name__ + "." + name in sys.modules


def _other_interpreters():
    root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip() \
        if shutil.which("pyenv") else ""
    found = []
    for minor in ("3.11", "3.13"):
        for p in sorted(pathlib.Path(root or "/nonexistent").glob(f"versions/{minor}.*/bin/python{minor}")):
            found.append(p)
            break
    return found


@pytest.mark.parametrize("interpreter", _other_interpreters(), ids=lambda p: p.name)
def test_other_interpreter_is_refused(interpreter, tmp_path):
    shutil.copy(core.__file__, tmp_path / "core.so")
    r = subprocess.run([str(interpreter), "-c", "import core"], cwd=tmp_path,
                       capture_output=True, text=True, timeout=60)
    assert r.returncode != 0
    assert "ImportError" in r.stderr
    if "Python version mismatch" in r.stderr:
        assert "module was compiled for Python 3.12, but the interpreter version is " \
               "incompatible: " in r.stderr
