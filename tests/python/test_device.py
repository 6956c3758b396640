"""Devices described by a version and a mesh, with no hardware attached."""

import gc

import pytest

import morla.core as core

NP = core.NP


def mesh(version):
    return NP.Mesh(version, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None,
                   [NP.Info(NP.Ident(1, 2, 0), [NP.CNP1], True)])


def test_virtual_device_properties():
    m = mesh(core.v2)
    dev = core.Device(core.HwVersion(1, 0xA2, 1, 0), m)
    assert dev.desc == "VirtualDevice/01.A2.001.000"
    assert dev.ip_version == core.v2
    assert dev.version == core.HwVersion(1, 0xA2, 1, 0)
    assert dev.version is not dev.version
    assert dev.mesh == m
    assert not hasattr(dev, "hardware")


def test_mesh_is_copied_in_and_live_afterwards():
    m = mesh(core.v1)
    dev = core.Device(core.HwVersion(1, 0, 0, 2), m)
    m.dma_event.col = 9  # the device keeps its own copy
    assert dev.mesh.dma_event.col == 1
    view = dev.mesh
    view.np_sram_size.input_bytes = 7
    view.nps = []
    assert dev.mesh.np_sram_size.input_bytes == 7
    assert dev.mesh.nps == []


def test_mesh_view_keeps_device_alive():
    view = core.Device(core.HwVersion(1, 0xB1, 1, 0), mesh(core.mote)).mesh
    gc.collect()
    assert view.np_sram_size == NP.SramSize_mote
    first = view.nps[0]
    view.nps = []
    gc.collect()
    assert first.ident == NP.Ident(1, 2, 0)  # a copy, not a view into the replaced list


@pytest.mark.parametrize("version, mesh_version, name", [
    ((1, 0, 0, 2), core.v2, "v2"),
    ((1, 0xA2, 1, 0), core.v1, "v1"),
    ((1, 0xB1, 1, 0), core.v2, "v2"),
])
def test_version_and_mesh_must_agree(version, mesh_version, name):
    hw = core.HwVersion(*version)
    expected = (f"Incompatible hardware and Ip versions: HW Version is "
                f"{'.'.join(map(str, version))} with product id = {version[1]} while IP version "
                f"is {name}.")
    with pytest.raises(ValueError) as e:
        core.Device(hw, mesh(mesh_version))
    assert str(e.value) == expected


def test_vendor_byte_plays_no_part():
    assert core.Device(core.HwVersion(0xFF, 0, 0, 2), mesh(core.v1)).ip_version == core.v1


def test_unknown_product_is_refused_with_none():
    with pytest.raises(ValueError, match="while IP version is v1\\.$"):
        core.Device(core.HwVersion(1, 0xC3, 0, 0), mesh(core.v1))


@pytest.mark.parametrize("args", [(), (core.HwVersion(1, 0, 0, 2),), (5, mesh(core.v1)),
                                  (mesh(core.v1), core.HwVersion(1, 0, 0, 2))])
def test_wrong_arguments(args):
    with pytest.raises(TypeError):
        core.Device(*args)


@pytest.mark.parametrize("args", [(None, mesh(core.v1)), (core.HwVersion(1, 0, 0, 2), None)])
def test_none_arguments(args):
    # pybind11 3 reports the failed reference cast as an overload mismatch
    with pytest.raises(TypeError):
        core.Device(*args)


def test_no_keywords_and_docstrings():
    with pytest.raises(TypeError):
        core.Device(version=core.HwVersion(1, 0, 0, 2), mesh=mesh(core.v1))
    assert core.Device.__doc__ is None
    assert core.Device.desc.__doc__ == (
        "\n             Returns the Device description\n\n"
        "             :return: a string describing the Device\n           ")
    assert core.Device.version.__doc__ == "The device hardware version."
    assert core.Device.ip_version.__doc__ == "The device IP version."
    assert core.Device.mesh.__doc__ == "The device Mesh layout"


def test_properties_are_read_only():
    dev = core.Device(core.HwVersion(1, 0, 0, 2), mesh(core.v1))
    for name in ("desc", "version", "ip_version", "mesh"):
        with pytest.raises(AttributeError):
            setattr(dev, name, None)
