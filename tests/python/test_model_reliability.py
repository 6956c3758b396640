"""What a hostile or unlucky user does to models, files and arrays: nothing saved is lost,
nothing hangs, every refusal is a clear Python exception."""
import os
import stat
import subprocess
import sys
import textwrap

import numpy as np
import pytest
import snappy

from morla import core, nn


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


def small_model():
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=4, input_height=4, input_channels=2))
    m.add(layer(core.DepthwiseConv2D, "dw", kernel_size=3, activation=0))
    store = m.get_layer("dw").variables
    store["weights"] = np.random.default_rng(1).integers(-4, 5, store["weights"].shape).astype(
        np.int8)
    return m


def run_child(code, timeout=20):
    """Runs code in a fresh interpreter; a hang fails the test instead of blocking it."""
    env = dict(os.environ)
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("the call did not return within %d s" % timeout)


# ---- Layers between models ------------------------------------------------------------------


def test_a_layer_of_another_model_is_refused_and_that_model_keeps_working(tmp_path):
    first = small_model()
    dw = first.get_layer("dw")
    before = first.to_buffer()
    second = core.Model()
    second.add(layer(core.InputData, "other", input_width=4, input_height=4, input_channels=2))
    with pytest.raises(ValueError, match="already belongs to a model"):
        second.add(dw)
    assert first.to_buffer() == before
    first.forward(np.ones((1, 4, 4, 2), np.uint8))
    first.save(str(tmp_path / "m.fbz"))
    assert core.Model(str(tmp_path / "m.fbz")).to_buffer() == before
    # The copy constructor still takes layers of other models.
    assert core.Model(first.layers).to_buffer() == before


def test_a_popped_layer_keeps_its_weights_when_added_again():
    m = small_model()
    weights = m.get_layer("dw").variables["weights"]
    dw = m.get_layer("dw")
    m.pop_layer()
    m.add(dw)
    np.testing.assert_array_equal(m.get_layer("dw").variables["weights"], weights)


def test_a_refused_layer_is_left_untouched():
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=2, input_height=2, input_channels=3))
    conv = layer(core.Conv2D, "conv", kernel_size=5, filters=2, padding=0)
    with pytest.raises((ValueError, RuntimeError)):
        m.add(conv)
    assert conv.inbounds == [] and m.layer_count == 1
    wide = core.Model()
    wide.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=3))
    wide.add(conv)
    assert [l.name for l in conv.inbounds] == ["in"]


def test_an_empty_layer_name_is_refused():
    with pytest.raises(ValueError, match="name cannot be empty"):
        layer(core.InputData, "", input_width=2, input_height=2, input_channels=1)


def test_variables_fetched_before_add_classes_refuse_writes():
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=4, input_height=4, input_channels=1,
                input_bits=1))
    m.add(layer(core.FullyConnected, "fc", units=4, weights_bits=1, activation=0))
    m.compile(core.MorlaUnsupervised(num_weights=4, num_classes=2))
    stale = m.get_layer("fc").variables
    m.add_classes(1)
    with pytest.raises(RuntimeError, match="replaced by add_classes"):
        stale["threshold"] = np.zeros(4, np.int32)
    current = m.get_layer("fc").variables
    current["threshold"] = np.full(6, 3, np.int32)
    assert (m.get_layer("fc").variables["threshold"] == 3).all()


# ---- Model files ----------------------------------------------------------------------------


@pytest.mark.parametrize("channels", [1, 2, 5])
@pytest.mark.parametrize("kind, keys", [
    (core.DepthwiseConv2D, dict(kernel_size=3)),
    (core.DepthwiseConv2DTranspose, dict(kernel_size=3)),
    (core.SeparableConvolutional, dict(kernel_width=3, kernel_height=3, filters=2)),
    (core.DepthwiseBufferTempConv, dict(fifo_size=4)),
], ids=["dw", "dw_transpose", "separable", "dw_buffer"])
def test_models_that_save_load_back(tmp_path, kind, keys, channels):
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=4, input_height=4, input_channels=channels))
    m.add(layer(kind, "x", **keys))
    m.save(str(tmp_path / "m.fbz"))
    assert core.Model(str(tmp_path / "m.fbz")).to_buffer() == m.to_buffer()


def test_save_follows_a_symlink_and_keeps_it(tmp_path):
    m = small_model()
    target = tmp_path / "real.fbz"
    target.write_bytes(b"old")
    link = tmp_path / "link.fbz"
    link.symlink_to("real.fbz")
    m.save(str(link))
    assert link.is_symlink()
    assert snappy.uncompress(target.read_bytes()) == m.to_buffer()
    dangling = tmp_path / "dangling.fbz"
    dangling.symlink_to("new.fbz")
    m.save(str(dangling))
    assert dangling.is_symlink() and (tmp_path / "new.fbz").is_file()


def test_save_writes_a_fifo_in_place(tmp_path):
    m = small_model()
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="Unable to open file for saving model"):
        m.save(str(fifo))  # nobody reads: refused, not waited for
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        m.save(str(fifo))
        got = os.read(reader, 1 << 20)
    finally:
        os.close(reader)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    assert snappy.uncompress(got) == m.to_buffer()


def test_paths_with_a_nul_byte_are_refused(tmp_path):
    m = small_model()
    victim = tmp_path / "m"
    victim.write_bytes(b"keep")
    with pytest.raises(ValueError, match="embedded null byte"):
        m.save(str(victim) + "\0.fbz")
    assert victim.read_bytes() == b"keep"
    m.save(str(tmp_path / "real.fbz"))
    with pytest.raises(ValueError, match="embedded null byte"):
        core.Model(str(tmp_path / "real.fbz") + "\0ignored")


def test_a_model_beyond_a_buffer_is_refused_at_save(tmp_path):
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=1024, input_height=1024, input_channels=1))
    m.add(layer(core.FullyConnected, "fc", units=2100))  # 2.2e9 one-byte weights
    for call in (m.to_buffer, lambda: m.save(str(tmp_path / "big.fbz"))):
        with pytest.raises(ValueError, match="more than the 2147483647"):
            call()
    assert not (tmp_path / "big.fbz").exists()


def test_loading_a_fifo_is_refused_without_waiting(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    result = run_child(f"""
        from morla import core
        try:
            core.Model({str(fifo)!r})
        except RuntimeError as e:
            print(e)
    """)
    assert "not a regular file" in result.stdout, result.stderr


def bytes_read_by(call):
    """What `call` reads from files, as this process's read counter sees it."""
    def counter():
        with open("/proc/self/io") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("rchar:"))
    before = counter()
    call()
    return counter() - before


def refused(path, error, match):
    def call():
        with pytest.raises(error, match=match):
            core.Model(str(path))
    return call


def test_a_huge_file_is_refused_before_it_is_read(tmp_path):
    path = tmp_path / "sparse.fbz"
    with open(path, "wb") as f:
        f.truncate(6 << 30)
    assert bytes_read_by(refused(path, ValueError, "more than the 2147483647")) < 1 << 20


@pytest.mark.parametrize("announced", [2**31, 2**32 - 1])
def test_a_header_announcing_more_than_a_model_holds_is_refused_from_the_header_alone(
        tmp_path, announced):
    # A sparse 1 GiB file whose length header (a base-128 varint) announces more than the
    # 2147483647 bytes of a serialized model: nothing past the header is read.
    varint = bytearray()
    while announced >= 0x80:
        varint.append(announced & 0x7F | 0x80)
        announced >>= 7
    varint.append(announced)
    path = tmp_path / "sparse.fbz"
    with open(path, "wb") as f:
        f.write(varint)
        f.truncate(1 << 30)
    match = "Cannot uncompress corrupted serialization buffer"
    assert bytes_read_by(refused(path, ValueError, match)) < 1 << 20


def test_a_later_save_removes_what_a_killed_save_left(tmp_path):
    target = tmp_path / "m.fbz"
    result = run_child(f"""
        import os, signal
        import numpy as np
        from morla import core
        m = core.Model()
        m.add(core.Layer(core.LayerParams(core.InputData, dict(input_width=512, input_height=512,
                                                                 input_channels=1)), "in"))
        m.add(core.Layer(core.LayerParams(core.FullyConnected, dict(units=64)), "fc"))
        m.get_layer("fc").variables["weights"] = np.random.default_rng(0).integers(
            0, 2, (512 * 512, 64)).astype(np.int8)
        pid = os.fork()
        if pid == 0:
            m.save({str(target)!r})
            os._exit(0)
        # The save is stopped part-way: its temporary file stays behind.
        import time
        deadline = time.time() + 10
        while time.time() < deadline and not any(
                n.startswith(".morla-save-") for n in os.listdir({str(tmp_path)!r})):
            time.sleep(0.001)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        print(sorted(os.listdir({str(tmp_path)!r})))
    """, timeout=60)
    assert result.returncode == 0, result.stderr
    if ".morla-save-" not in result.stdout:
        pytest.skip("the save finished before it could be stopped")
    small_model().save(str(target))
    assert sorted(os.listdir(tmp_path)) == ["m.fbz"]


# ---- Arithmetic and arrays -------------------------------------------------------------------


def test_transposed_sizes_beyond_32_bits_are_refused():
    wide = np.broadcast_to(np.int32(1), (16843010, 1, 1))
    with pytest.raises(ValueError, match="does not fit 32 bits"):
        nn.conv2d_transpose(wide, np.ones((3, 3, 1, 1), np.int8), 255)
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=65535, input_height=1, input_channels=1))
    m.add(layer(core.Conv2DTranspose, "t1", kernel_size=1, kernel_stride=255, filters=1))
    m.add(layer(core.Conv2DTranspose, "t2", kernel_size=1, kernel_stride=255, filters=1))
    with pytest.raises(ValueError, match="does not fit 32 bits"):
        m.add(layer(core.Conv2DTranspose, "t3", kernel_size=1, kernel_stride=255, filters=1))
    assert m.layer_count == 3


@pytest.mark.parametrize("kind", [core.FullyConnected, core.Dense1D])
def test_dense_input_counts_beyond_32_bits_are_refused(kind):
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=65535, input_height=65535, input_channels=2))
    with pytest.raises(ValueError, match="input element count of 8589672450 does not fit 32 bits"):
        m.add(layer(kind, "dense", units=1))
    assert m.layer_count == 1


@pytest.mark.parametrize("pool_y", [0, -1, -128])
def test_pooling_windows_below_one_are_refused(pool_y):
    x = np.ones((4, 4, 1), np.int32)
    with pytest.raises(ValueError, match="kernel_y must be between 1 and 2147483647"):
        nn.max_pooling(x, 2, pool_y, 1, 1, core.Padding.SameUpper, 8)


def test_arrays_are_checked_on_their_view_before_a_copy_and_memory_errors_stay():
    # Under an address-space limit a copy of the views would fail: only the checks of the
    # views themselves can give their refusals.
    result = run_child("""
        import resource
        import numpy as np
        from morla import core
        m = core.Model()
        m.add(core.Layer(core.LayerParams(core.InputData, dict(input_width=4, input_height=4,
                                                                 input_channels=1)), "in"))
        used = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status")
                    if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (used + (128 << 20), resource.RLIM_INFINITY))
        for x in (np.broadcast_to(np.uint8(0), (1, 1, 1, 1, 2**31)),
                  np.broadcast_to(np.uint8(0), (2**32 + 1, 1)),
                  np.broadcast_to(np.uint8(1), (512, 1024, 1024, 1))):  # 512 MiB once copied
            try:
                m.forward(x)
            except Exception as e:
                print(type(e).__name__, str(e).strip())
    """)
    lines = result.stdout.splitlines()
    assert len(lines) == 3, result.stdout + result.stderr
    assert lines[0] == "ValueError Cannot instantiate a Dense with 5 dimensions (min 1, max 4)."
    assert lines[1].startswith("ValueError Dimension 0 of the source array is 4294967297")
    assert lines[2].startswith("MemoryError")


def test_reading_a_variable_without_memory_is_a_memory_error():
    result = run_child("""
        import resource
        import numpy as np
        from morla import core
        m = core.Model()
        m.add(core.Layer(core.LayerParams(core.InputData, dict(input_width=1, input_height=1,
                                                                 input_channels=4096)), "in"))
        m.add(core.Layer(core.LayerParams(core.Dense1D, dict(units=8192)), "d"))  # 32 MiB
        variables = m.get_layer("d").variables
        used = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status")
                    if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (used + (16 << 20), resource.RLIM_INFINITY))
        try:
            variables["weights"]
        except Exception as e:
            print(type(e).__name__)
    """)
    assert result.stdout.strip() == "MemoryError", result.stdout + result.stderr
