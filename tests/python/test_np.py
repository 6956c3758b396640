"""The NP submodule: identifiers, types, NP info, SRAM sizes, meshes, spaces, memory info."""

import gc

import pytest

import morla.core as core

NP = core.NP


def info(col, row, types=(NP.CNP1,), has_lut=False):
    return NP.Info(NP.Ident(col, row, 0), list(types), has_lut)


def v2_mesh(**kwargs):
    return NP.Mesh(
        core.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), NP.Info.hrc(True),
        [info(1, 2), info(2, 1, (NP.CNP1, NP.CNP2), True)], **kwargs)


def test_submodule_holds_all_names():
    assert NP.__doc__ == "Neural Processor"
    assert core.NP is NP
    for name in ("SramSize", "Mesh", "SramSize_v1", "SramSize_v2", "SramSize_mote", "Ident",
                 "Type", "Info", "NpSpace", "MemoryInfo", "Component"):
        assert hasattr(NP, name), name


@pytest.mark.parametrize("cls, doc", [
    ("Ident", "\n    Represents the unique identifier for a Hardware Component.\n\n    This includes "
              "the component position on the mesh (row, column, id) and\n    the channel index "
              "for skip DMAs."),
    ("Type", "Harwdare Component type"),
    ("Info", "\n        Describes a hardware component.\n\n        Includes its unique identifier "
             "and the set of hardware types it supports.\n        "),
    ("SramSize", "Size of shared SRAM available inside the mesh.\n      "),
    ("NpSpace", "\n      Represents the part of the input used by this Neural Processor if a "
                "layer is split over several NPs."),
    ("MemoryInfo", "Represents memory usage information for a Hardware Component.\n\n      This "
                   "includes memory used by inputs, weights, and any external buffers.\n      "
                   "All sizes are in bytes.\n      "),
    ("Component", "\n      An Morla component"),
])
def test_class_docstrings(cls, doc):
    assert getattr(NP, cls).__doc__.startswith(doc)


def test_mesh_docstrings():
    assert NP.Mesh.__doc__.startswith("\n    Represents the layout of a mesh of Neural Processors.")
    assert NP.Mesh.nps.__doc__ == "Neural processors"
    assert NP.Mesh.hrc.__doc__ == "HRC if installed."
    assert "\nConstruct an morla.NP.Info for HRC with optional LUT.\n" in NP.Info.hrc.__doc__
    assert NP.Ident.channel.__doc__ == "Component channel"
    assert NP.MemoryInfo.tsram_51b_size.__doc__ == "Tsram Mote memory size. (Number of 51-bits words)"
    assert NP.Type.TNP_B.__doc__ is not None


# Ident

def test_ident_fields_text_and_equality():
    a = NP.Ident(1, 2, 3)
    assert (a.col, a.row, a.id, a.channel) == (1, 2, 3, 0)
    assert str(a) == repr(a) == "(1, 2, 3)"
    b = NP.Ident(1, 2, 3, 7)
    assert str(b) == "(1, 2, 3)"
    assert a != b
    assert a == NP.Ident(1, 2, 3, 0)
    assert NP.Ident(1, 2, 3) != NP.Ident(1, 2, 4)
    assert not (a == "(1, 2, 3)") and not (a == None) and not (a == 5)  # noqa: E711
    with pytest.raises(TypeError):
        hash(a)


@pytest.mark.parametrize("args", [(256, 0, 0), (-1, 0, 0), (1.0, 2, 3), (1, 2), (1, 2, 3, 4, 5)])
def test_ident_refuses_non_bytes(args):
    with pytest.raises(TypeError):
        NP.Ident(*args)


def test_ident_is_positional_only_and_checks_assignments():
    with pytest.raises(TypeError):
        NP.Ident(col=1, row=2, id=3)
    a = NP.Ident(1, 2, 3)
    with pytest.raises(TypeError):
        a.row = 300
    assert a.row == 2
    a.channel = 255
    assert a.channel == 255


# Type

def test_type_members_values_and_export():
    assert list(NP.Type.__members__) == [
        "HRC", "CNP1", "CNP2", "FNP2", "FNP3", "TNP_B", "TNP_R", "SKIP_DMA_STORE", "SKIP_DMA_LOAD"]
    assert NP.Type.SKIP_DMA_STORE.value == 6
    assert int(NP.Type.TNP_R) == 8
    assert NP.CNP1 is NP.Type.CNP1
    assert not (NP.Type.HRC == 1)
    assert NP.Type(3) == NP.CNP2
    assert NP.Type.HRC.__doc__ is not None
    assert hash(NP.Type.FNP3) == hash(NP.Type(5))
    assert {NP.HRC: 1}[NP.Type.HRC] == 1


# Info

def test_info_types_are_sorted_and_unique():
    i = NP.Info(NP.Ident(1, 2, 3), [NP.CNP2, NP.CNP1, NP.CNP2])
    assert i.types == [NP.CNP1, NP.CNP2]
    assert i.has_lut is False
    i.types = ()
    assert i.types == []
    i.types = (t for t in (NP.TNP_R, NP.HRC))
    assert i.types == [NP.HRC, NP.TNP_R]
    i.types = {NP.FNP3}
    assert i.types == [NP.FNP3]


def test_info_refuses_plain_ints_and_keeps_old_types():
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type "):
        NP.Info(NP.Ident(1, 2, 3), [2])
    i = NP.Info(NP.Ident(1, 2, 3), [NP.CNP1])
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type "):
        i.types = [NP.HRC, 3]
    assert i.types == [NP.CNP1]
    with pytest.raises(TypeError):
        i.types = 5
    with pytest.raises(TypeError):
        NP.Info((1, 2, 3), [NP.CNP1])


def test_info_hrc_factory():
    h = NP.Info.hrc(True)
    assert h.ident == NP.Ident(0, 0, 0, 0)
    assert h.types == [NP.HRC]
    assert h.has_lut is True
    with pytest.raises(TypeError):
        NP.Info.hrc()


def test_info_ident_is_a_view_and_assignment_copies():
    i = NP.Info(NP.Ident(1, 2, 3), [NP.CNP1])
    view = i.ident
    view.col = 9
    assert i.ident.col == 9
    del i
    gc.collect()
    assert view.col == 9  # the view keeps its Info alive
    i = NP.Info(NP.Ident(1, 2, 3), [NP.CNP1])
    new = NP.Ident(4, 5, 6)
    i.ident = new
    new.col = 7
    assert i.ident == NP.Ident(4, 5, 6)


def test_info_equality():
    a = NP.Info(NP.Ident(1, 2, 3), [NP.CNP1], True)
    assert a == NP.Info(NP.Ident(1, 2, 3), [NP.CNP1], True)
    assert a != NP.Info(NP.Ident(1, 2, 3), [NP.CNP1], False)
    assert a != NP.Info(NP.Ident(1, 2, 3), [NP.CNP1, NP.CNP2], True)
    assert not (a == 5)
    with pytest.raises(TypeError):
        hash(a)


# SramSize

def test_sram_size_constructors_and_constants():
    assert NP.SramSize() == NP.SramSize(0, 0) == NP.SramSize(0, 0, 0, 0)
    assert NP.SramSize(43008, 44800) == NP.SramSize_v1
    assert NP.SramSize(65536, 51200) == NP.SramSize_v2
    assert NP.SramSize(448, 8192, 892, 256) == NP.SramSize_mote
    m = NP.SramSize_mote
    assert (m.input_bytes, m.weight_bytes, m.stsram_32b_size, m.fsram_64b_size,
            m.tsram_51b_size, m.evsram_32b_size) == (0, 0, 448, 8192, 892, 256)
    assert not (NP.SramSize_v1 == 5)
    with pytest.raises(TypeError):
        hash(NP.SramSize())


def test_sram_size_signed_constructor_and_unsigned_fields():
    assert NP.SramSize(-1, 0).input_bytes == 4294967295
    s = NP.SramSize()
    for bad in (-1, 2**32, 1.5):
        with pytest.raises(TypeError):
            s.input_bytes = bad
    assert s.input_bytes == 0
    with pytest.raises(TypeError):
        NP.SramSize(1.0, 2)


@pytest.mark.parametrize("name, version", [("SramSize_v1", "v1"), ("SramSize_v2", "v2"),
                                           ("SramSize_mote", "mote")])
def test_writing_a_constant_never_reaches_mesh_defaults(name, version):
    constant = getattr(NP, name)
    before = NP.SramSize()
    for field in ("input_bytes", "weight_bytes", "stsram_32b_size", "fsram_64b_size",
                  "tsram_51b_size", "evsram_32b_size"):
        setattr(before, field, getattr(constant, field))
    try:
        constant.input_bytes = 1
        constant.evsram_32b_size = 2
        mesh = NP.Mesh(getattr(core, version), NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, [])
        assert mesh.np_sram_size == before
    finally:
        constant.input_bytes = before.input_bytes
        constant.evsram_32b_size = before.evsram_32b_size


# Mesh

@pytest.mark.parametrize("version, sram", [("v1", "SramSize_v1"), ("v2", "SramSize_v2"),
                                           ("mote", "SramSize_mote")])
def test_mesh_default_sram_by_version(version, sram):
    mesh = NP.Mesh(getattr(core, version), NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, [])
    assert mesh.np_sram_size == getattr(NP, sram)
    assert mesh.hrc is None
    assert mesh.skip_dmas == [] and mesh.nps == []


def test_mesh_refuses_version_none():
    with pytest.raises(RuntimeError, match="^The mesh should have a valid IP version.$"):
        NP.Mesh(core.none, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, [])


@pytest.mark.parametrize("args", [
    (core.v2, None, NP.Ident(1, 1, 1), None, []),
    (core.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, "abc"),
    (core.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), 5, []),
    (core.v2, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None, [], [], None),
])
def test_mesh_refuses_wrong_arguments(args):
    with pytest.raises(TypeError):
        NP.Mesh(*args)


def test_mesh_keyword_names_select_overload():
    ids = dict(version=core.v1, dma_event=NP.Ident(1, 1, 0), dma_conf=NP.Ident(1, 1, 1), nps=[])
    assert NP.Mesh(hrc=None, **ids).np_sram_size == NP.SramSize_v1
    sram = NP.SramSize(1, 2)
    assert NP.Mesh(has_hrc=None, np_sram_size=sram, **ids).np_sram_size == sram
    with pytest.raises(TypeError):
        NP.Mesh(hrc=None, np_sram_size=sram, **ids)
    with pytest.raises(TypeError):
        NP.Mesh(has_hrc=None, **ids)
    # sets and generators are sequences here
    assert len(NP.Mesh(core.v1, NP.Ident(1, 1, 0), NP.Ident(1, 1, 1), None,
                       (info(c, 1) for c in range(3))).nps) == 3


def test_mesh_views_write_through():
    mesh = v2_mesh()
    mesh.dma_event.col = 7
    assert mesh.dma_event.col == 7
    mesh.np_sram_size.input_bytes = 5
    assert mesh.np_sram_size.input_bytes == 5
    ident = NP.Ident(3, 3, 3)
    mesh.dma_conf = ident
    ident.col = 9
    assert mesh.dma_conf == NP.Ident(3, 3, 3)


def test_mesh_lists_are_copies():
    mesh = v2_mesh()
    nps = mesh.nps
    nps.append(info(5, 5))
    assert len(mesh.nps) == 2
    mesh.nps = nps
    assert len(mesh.nps) == 3
    mesh.skip_dmas = (info(1, 1, (NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD)),)
    assert mesh.skip_dmas[0].types == [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD]
    with pytest.raises(TypeError):
        mesh.nps = [5]
    assert len(mesh.nps) == 3


def test_elements_read_before_a_replacement_stay_valid():
    mesh = v2_mesh()
    first = mesh.nps[0]
    hrc = mesh.hrc
    mesh.nps = []
    mesh.hrc = None
    gc.collect()
    assert first == info(1, 2)
    assert hrc == NP.Info.hrc(True)
    assert mesh.nps == [] and mesh.hrc is None
    first.has_lut = True  # a copy: the mesh does not change
    assert mesh.nps == []
    mesh.hrc = hrc
    hrc.has_lut = False
    assert mesh.hrc.has_lut is True


def test_mesh_equality():
    a = v2_mesh()
    assert a == v2_mesh()
    b = v2_mesh()
    b.np_sram_size = NP.SramSize(1, 1)
    assert a != b
    c = v2_mesh(skip_dmas=[info(1, 1, (NP.SKIP_DMA_STORE,))])
    assert a != c
    d = v2_mesh()
    d.hrc = NP.Info.hrc(False)
    assert a != d
    assert not (a == 5)
    with pytest.raises(TypeError):
        hash(a)


# NpSpace, MemoryInfo, Component

def test_np_space_default():
    s = NP.NpSpace()
    assert (s.x, s.y, s.shape) == (0, 0, [])
    with pytest.raises(AttributeError):
        s.x = 1
    with pytest.raises(TypeError):
        NP.NpSpace(1)
    assert s != NP.NpSpace()  # identity comparison
    hash(s)


MEMORY_FIELDS = ("input_size", "weight_size", "external_size", "stsram_32b_size",
                 "fsram_64b_size", "tsram_51b_size", "evsram_32b_size")


def test_memory_info_default_and_read_only():
    m = NP.MemoryInfo()
    assert all(getattr(m, f) == 0 for f in MEMORY_FIELDS)
    assert m == NP.MemoryInfo()
    assert not (m == 0)
    for f in MEMORY_FIELDS:
        with pytest.raises(AttributeError):
            setattr(m, f, 1)
    with pytest.raises(TypeError):
        hash(m)
    with pytest.raises(TypeError):
        NP.MemoryInfo(0)


def test_component_cannot_be_made_from_python():
    with pytest.raises(TypeError):
        NP.Component()
    assert NP.Component.__hash__ is None
    for name in ("ident", "type", "mem_info", "filters", "start_neuron", "spatial_partition",
                 "single_buffer"):
        assert isinstance(getattr(NP.Component, name), property), name


@pytest.mark.parametrize("name", ["SramSize_v1", "SramSize_v2", "SramSize_mote"])
def test_the_constants_cannot_be_changed(name):
    fields = ("input_bytes", "weight_bytes", "stsram_32b_size", "fsram_64b_size",
              "tsram_51b_size", "evsram_32b_size")
    before = [getattr(getattr(NP, name), f) for f in fields]
    getattr(NP, name).input_bytes = 1
    getattr(NP, name).evsram_32b_size = 7
    assert [getattr(getattr(NP, name), f) for f in fields] == before
    assert name in dir(NP)
    with pytest.raises(AttributeError, match="no attribute 'SramSize_v3'"):
        NP.SramSize_v3
