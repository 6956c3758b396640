"""Mapping constraints: defaults per IP version, checked setters and Python-overridable hooks."""

import gc
import threading

import pytest

import morla.core as core

NP = core.NP


def device(product, major=1, minor=0, vendor=None):
    version = {0x00: core.v1, 0xA1: core.v1, 0xA2: core.v2, 0xB1: core.mote}[product]
    vendor = core.Orbi_v1.vendor_id if vendor is None else vendor
    mesh = NP.Mesh(version, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, [])
    return core.Device(core.HwVersion(vendor, product, major, minor), mesh)


IDENTS = [NP.Ident(c, 1, 0) for c in range(1, 6)]


@pytest.mark.parametrize("dev, limits", [
    (lambda: device(0xA1, 3, 9), (32, 256, 512)),
    (lambda: device(0x00, 0, 1), (32, 256, 512)),
    (lambda: core.Device(core.Orbi_v2, NP.Mesh(core.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1),
                                               None, [])), (32, 256, 504)),
    (lambda: device(0x00, 0, 2, vendor=(core.Orbi_v1.vendor_id + 1) % 256), (32, 256, 512)),
    (lambda: device(0xA2), (64, 256, 512)),
    (lambda: device(0xB1), (0, 0, 0)),
])
def test_defaults_per_ip_version(dev, limits):
    mc = core.MapConstraints(dev())
    assert (mc.cnp_max_width_default, mc.cnp_max_height_default,
            mc.cnp_max_filters_default) == limits
    assert (mc.cnp_max_width, mc.cnp_max_height, mc.cnp_max_filters) == limits
    assert mc.hwpr_loopitself is False


@pytest.mark.parametrize("prop, what", [("cnp_max_width", "width"),
                                        ("cnp_max_height", "height"),
                                        ("cnp_max_filters", "filters")])
@pytest.mark.parametrize("product", [0xA1, 0xA2, 0xB1])
def test_setters_check_against_default(prop, what, product):
    mc = core.MapConstraints(device(product))
    default = getattr(mc, prop + "_default")
    setattr(mc, prop, default)
    assert getattr(mc, prop) == default
    setattr(mc, prop, 0)
    assert getattr(mc, prop) == 0
    with pytest.raises(ValueError) as e:
        setattr(mc, prop, default + 1)
    assert str(e.value) == f"CNP max {what} should be <= {default}. Receives {default + 1}."
    assert getattr(mc, prop) == 0
    for bad in (-1, 2**32, 1.5, "3"):
        with pytest.raises(TypeError):
            setattr(mc, prop, bad)
    assert getattr(mc, prop) == 0
    with pytest.raises(AttributeError):
        setattr(mc, prop + "_default", 1)


@pytest.mark.parametrize("product", [0x00, 0xA1, 0xB1])
def test_hwpr_loopitself_only_on_v2(product):
    mc = core.MapConstraints(device(product))
    mc.hwpr_loopitself = False
    with pytest.raises(ValueError, match="^HWPR NP loopitself feature is only supported for IP "
                                         "v2.$"):
        mc.hwpr_loopitself = True
    assert mc.hwpr_loopitself is False


def test_hwpr_loopitself_on_v2():
    mc = core.MapConstraints(device(0xA2))
    mc.hwpr_loopitself = True
    assert mc.hwpr_loopitself is True
    mc.hwpr_loopitself = False
    assert mc.hwpr_loopitself is False


def test_refuses_missing_or_unknown_device():
    with pytest.raises(ValueError, match="^Invalid device passed to MapConstraints.$"):
        core.MapConstraints(None)
    with pytest.raises(TypeError):
        core.MapConstraints(5)
    with pytest.raises(TypeError):
        core.MapConstraints()


def test_device_is_shared():
    dev = device(0xA2)
    mc = core.MapConstraints(dev)
    assert mc.device is dev
    del dev
    gc.collect()
    assert mc.device.desc == "VirtualDevice/%02X.A2.001.000" % core.Orbi_v1.vendor_id
    assert isinstance(mc.device, core.Device)


@pytest.mark.parametrize("count, expected", [(3, IDENTS[:3]), (0, []), (9, IDENTS), (5, IDENTS)])
def test_default_select_nps(count, expected):
    mc = core.MapConstraints(device(0xA2))
    for t in (NP.CNP1, NP.HRC, NP.SKIP_DMA_LOAD):
        assert mc.select_nps(IDENTS, count, t) == expected
    assert mc.select_nps(tuple(IDENTS), count, NP.FNP3) == expected
    assert mc.next_layer("conv") is None


def test_select_nps_argument_conversion():
    mc = core.MapConstraints(device(0xA2))
    for bad in ((IDENTS, -1, NP.CNP1), (IDENTS, 1, 2), ("abc", 1, NP.CNP1), ([1, 2], 1, NP.CNP1),
                (IDENTS, 1.0, NP.CNP1)):
        with pytest.raises(TypeError):
            mc.select_nps(*bad)
    out = mc.select_nps(IDENTS, 1, NP.CNP1)
    out[0].col = 99
    assert IDENTS[0].col == 1  # results are new objects


class Recorder(core.MapConstraints):
    def __init__(self, dev):
        super().__init__(dev)
        self.layers = []
        self.calls = []

    def next_layer_handler(self, layer_name):
        self.layers.append(layer_name)
        return "ignored"

    def select_nps(self, source_nps, num_nps, type):
        self.calls.append((list(source_nps), num_nps, type))
        return list(reversed(source_nps))[:num_nps]


def test_subclass_hooks_are_called_with_converted_arguments():
    rec = Recorder(device(0xA2))
    assert rec.next_layer("dense_1") is None
    assert rec.layers == ["dense_1"]
    # the bound base method dispatches virtually to the override
    assert core.MapConstraints.select_nps(rec, IDENTS, 2, NP.TNP_B) == [IDENTS[4], IDENTS[3]]
    (source, count, t), = rec.calls
    assert source == IDENTS and source[0] is not IDENTS[0]
    assert count == 2 and isinstance(count, int)
    assert t == NP.TNP_B and type(t) is NP.Type


def test_super_gives_the_default():
    class Half(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return super().select_nps(source_nps, num_nps // 2, type)

    half = Half(device(0xA1))
    assert core.MapConstraints.select_nps(half, IDENTS, 4, NP.CNP1) == IDENTS[:2]
    assert half.cnp_max_filters_default == 512


def test_subclass_with_only_select_nps_has_silent_next_layer():
    class Only(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return []

    only = Only(device(0xA2))
    assert only.next_layer("x") is None
    assert core.MapConstraints.select_nps(only, IDENTS, 3, NP.CNP1) == []


def test_instance_attribute_hook_is_found():
    class Plain(core.MapConstraints):
        pass

    seen = []
    p = Plain(device(0xA2))
    p.next_layer_handler = lambda name: seen.append(name)
    p.next_layer("late")
    assert seen == ["late"]


def test_overriding_next_layer_changes_only_the_python_method():
    class Rename(Recorder):
        def next_layer(self, layer_name):
            return "python"

    r = Rename(device(0xA2))
    assert r.next_layer("a") == "python"
    core.MapConstraints.next_layer(r, "b")
    assert r.layers == ["b"]


def test_override_exceptions_propagate():
    class Boom(core.MapConstraints):
        def next_layer_handler(self, layer_name):
            raise KeyError(layer_name)

        def select_nps(self, source_nps, num_nps, type):
            raise OSError("no NPs")

    b = Boom(device(0xA2))
    with pytest.raises(KeyError):
        b.next_layer("x")
    with pytest.raises(OSError, match="no NPs"):
        core.MapConstraints.select_nps(b, IDENTS, 1, NP.CNP1)


@pytest.mark.parametrize("result", [None, 5, [1, 2], ["abc"], "abc", [NP.Ident(1, 1, 1), None]])
def test_bad_select_nps_result_is_a_cast_error(result):
    class Bad(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return result

    with pytest.raises(RuntimeError):
        core.MapConstraints.select_nps(Bad(device(0xA2)), IDENTS, 1, NP.CNP1)


@pytest.mark.parametrize("result", [
    lambda s: tuple(s), lambda s: set(), lambda s: frozenset(), lambda s: (i for i in s)])
def test_select_nps_result_may_be_any_sequence(result):
    class Any(core.MapConstraints):
        def select_nps(self, source_nps, num_nps, type):
            return result(source_nps[:num_nps])

    out = core.MapConstraints.select_nps(Any(device(0xA2)), IDENTS, 2, NP.CNP1)
    assert out in (IDENTS[:2], [])


def test_hooks_from_another_python_thread():
    rec = Recorder(device(0xA2))
    t = threading.Thread(target=lambda: rec.next_layer("threaded"))
    t.start()
    t.join(timeout=30)
    assert rec.layers == ["threaded"]


def test_docstrings():
    mc = core.MapConstraints
    assert mc.__doc__ is None
    assert "Obtain hardware constraints from a device.\n\n           Args:\n              " \
           "device(morla.device): the device." in mc.__init__.__doc__
    assert mc.cnp_max_width_default.__doc__ == (
        "The maximal width to map a CNP.\n\n                             Returns:\n"
        "                                int: the maximal witdh")
    assert mc.cnp_max_filters_default.__doc__ == "The maximal filters number to map a CNP."
    assert mc.cnp_max_filters.__doc__ == "The filters number to use to map a CNP."
    assert mc.hwpr_loopitself.__doc__ == "The HWPR NP loopitself feature."
    assert mc.device.__doc__.startswith("Return the device used.")
    assert "Callback on the layer mapping." in mc.next_layer.__doc__
    assert "num_nps (int): the number of NPs needed" in mc.select_nps.__doc__
