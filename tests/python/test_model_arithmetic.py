"""Model.forward of every layer type against its NumPy composition (model_oracles)."""
import numpy as np
import pytest
import snappy

import model_oracles as mo
import nn_oracles as o
from map_models import v1_device
from morla import core
from test_model_fuzz import crc32c

RNG_SEED = 20240611

V2_RANGES = dict(bias=(-5, 5), bias_shift=(0, 2), output_scales=(1, 3), output_shift=(-3, 0),
                 max_value=(20, 60), max_value_shift=(0, 2), input_shift=(0, 1),
                 activation_scales=(1, 2), activation_shift=(-4, -3), weights=(-4, 4),
                 lut_values=(-90, 90))


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


def randomise(lay, rng, ranges=V2_RANGES, **extra):
    """Sets every variable named in the ranges to seeded values; returns all variables."""
    ranges = dict(ranges, **extra)
    store = lay.variables
    for name in store.names:
        if name in ranges:
            current = store[name]
            low, high = ranges[name]
            store[name] = rng.integers(low, high + 1, current.shape).astype(current.dtype)
    return {name: store[name] for name in store.names}


def model_of(*layers):
    m = core.Model()
    for lay in layers:
        m.add(lay)
    return m


def inputs(rng, shape, low=0, high=15, dtype=np.uint8):
    return rng.integers(low, high + 1, shape).astype(dtype)


@pytest.fixture
def rng():
    return np.random.default_rng(RNG_SEED)


def check(model, x, expected_frames, dtype):
    out = model.forward(x)
    assert out.dtype == dtype
    expected = np.stack([np.asarray(f).astype(np.int64) for f in expected_frames])
    np.testing.assert_array_equal(out.astype(np.int64), expected.reshape(out.shape))


@pytest.mark.parametrize("activation,pooled", [("relu", True), ("lut", False), ("none", False)])
def test_conv2d(rng, activation, pooled):
    act = {"none": 0, "relu": 1, "lut": 2}[activation]
    keys = dict(kernel_size=3, filters=4, activation=act, output_bits=4 if act == 2 else 8)
    if pooled:
        keys.update(pool_type=1, pool_size=2)
    conv = layer(core.Conv2D, "conv", **keys)
    m = model_of(layer(core.InputData, "in", input_width=7, input_height=6, input_channels=3), conv)
    v = randomise(m.get_layer("conv"), rng)
    x = inputs(rng, (2, 7, 6, 3))
    pool = mo.max_pool(2, 2, "Same") if pooled else None
    frames = [mo.v2_tail(mo.conv2d(mo.lshift(f, v["input_shift"]), v["weights"], 1, "Same"), v,
                         keys["output_bits"], activation, pool) for f in x]
    check(m, x, frames, np.uint8 if act else np.int8)


# The Dense1D input shifts: one per input element, the same for each channel of its input,
# or one value for all.
@pytest.mark.parametrize("shifts", ["per element", "per channel", "one value"])
def test_acceptance_conv2d_then_dense1d(rng, shifts):
    m = core.Model([layer(core.InputData, "in", input_width=6, input_height=5, input_channels=2),
                    layer(core.Conv2D, "conv", kernel_size=3, filters=4, activation=0, padding=0),
                    layer(core.Dense1D, "dense", units=3, activation=0, output_bits=32)])
    vc = randomise(m.get_layer("conv"), rng)
    dense = m.get_layer("dense")
    vd = randomise(dense, rng)
    if shifts != "per element":
        period = 4 if shifts == "per channel" else 1
        count = vd["input_shift"].size
        dense.variables["input_shift"] = np.resize(rng.integers(0, 3, period), count).astype(np.uint8)
        vd = {name: dense.variables[name] for name in dense.variables.names}
    x = inputs(rng, (3, 6, 5, 2), high=255)
    frames = []
    for f in x:
        hidden = mo.v2_tail(mo.conv2d(mo.lshift(f, vc["input_shift"]), vc["weights"], 1, "Valid"),
                            vc, 8)
        flat = mo.lshift(hidden.reshape(1, 1, -1), vd["input_shift"])
        frames.append(mo.v2_tail(mo.matmul(flat, vd["weights"]), vd, 32))
    check(m, x, frames, np.int32)


@pytest.mark.parametrize("transpose", [False, True])
def test_depthwise_conv2d(rng, transpose):
    kind = core.DepthwiseConv2DTranspose if transpose else core.DepthwiseConv2D
    keys = dict(kernel_size=3, activation=0) if transpose else dict(kernel_size=3, kernel_stride=2,
                                                                     activation=0)
    m = model_of(layer(core.InputData, "in", input_width=5, input_height=4, input_channels=3),
                 layer(kind, "dw", **keys))
    v = randomise(m.get_layer("dw"), rng)
    w = v["weights"][:, :, 0, :]
    x = inputs(rng, (2, 5, 4, 3))
    frames = []
    for f in x:
        shifted = mo.lshift(f, v["input_shift"])
        acc = (o.conv2d_transpose(shifted, w, 2, 0, 0, 10, 8) if transpose
               else mo.depthwise(shifted, w, 2, "Same"))
        frames.append(mo.v2_tail(acc, v, 8))
    check(m, x, frames, np.int8)


def test_conv2d_transpose(rng):
    m = model_of(layer(core.InputData, "in", input_width=3, input_height=4, input_channels=2),
                 layer(core.Conv2DTranspose, "up", kernel_size=3, filters=3, activation=1))
    v = randomise(m.get_layer("up"), rng)
    x = inputs(rng, (2, 3, 4, 2))
    frames = [mo.v2_tail(o.conv2d_transpose(mo.lshift(f, v["input_shift"]), v["weights"], 2, 0, 0,
                                            6, 8), v, 8, "relu") for f in x]
    check(m, x, frames, np.uint8)


def test_input_conv2d(rng):
    m = model_of(layer(core.InputConv2D, "hrc", input_width=8, input_height=7, input_channels=3,
                       kernel_size=3, filters=4, activation=0, kernel_stride=2))
    v = randomise(m.get_layer("hrc"), rng, padding_value=(0, 200))
    x = inputs(rng, (2, 8, 7, 3), high=255)
    frames = [mo.v2_tail(mo.input_conv(f, v["weights"], v["padding_value"], 2, "Same"), v, 8)
              for f in x]
    check(m, x, frames, np.int8)


@pytest.mark.parametrize("kind,padding,size,pool,pool_stride", [
    (core.Conv2D, "SameUpper", (8, 8), 2, 2),  # the last window holds rows 6 and 7
    (core.Conv2D, "SameUpper", (7, 6), 3, 3),
    (core.Conv2D, "Same", (8, 7), 2, 2),
    (core.Conv2D, "Valid", (9, 7), 3, 3),
    (core.InputConv2D, "Same", (9, 8), 1, 2),  # a 1x1 pool with a stride still subsamples
    (core.InputConv2D, "SameUpper", (9, 8), 3, 2),
])
def test_max_pooling_windows_in_layers(rng, kind, padding, size, pool, pool_stride):
    """A layer's max pooling places its windows as Keras does: Same for Same and SameUpper
    layers, Valid for Valid ones; the built output shape is what forward returns."""
    mode = {"Valid": 0, "Same": 1, "SameUpper": 2}[padding]
    hrc = kind == core.InputConv2D
    stride = 2 if hrc and padding == "SameUpper" else 1
    keys = dict(kernel_size=3, kernel_stride=stride, filters=4, activation=0, padding=mode,
                pool_type=1, pool_size=pool)
    shape = (*size, 3 if hrc else 4)
    if hrc:
        conv = layer(kind, "conv", input_width=size[0], input_height=size[1], input_channels=3,
                     pool_stride=pool_stride, **keys)
        m = model_of(conv)
    else:
        m = model_of(layer(core.InputData, "in", input_width=size[0], input_height=size[1],
                           input_channels=4), layer(kind, "conv", **keys))
    v = randomise(m.get_layer("conv"), rng, padding_value=(0, 200))
    x = inputs(rng, (2, *shape), high=255 if hrc else 15)
    pool_fn = mo.max_pool(pool, pool_stride, "Valid" if padding == "Valid" else "Same")
    frames = [mo.v2_tail(mo.input_conv(f, v["weights"], v["padding_value"], stride, padding)
                         if hrc else mo.conv2d(mo.lshift(f, v["input_shift"]), v["weights"], 1,
                                               padding), v, 8, "none", pool_fn) for f in x]
    assert m.output_shape == list(frames[0].shape)
    check(m, x, frames, np.int8)


@pytest.mark.parametrize("width,height,kernel,stride", [
    (8, 5, 3, 1), (9, 5, 4, 2), (8, 5, 4, 2),
    (9, 8, 3, 1),  # the width fits, the height does not
])
def test_input_conv2d_refused_where_windows_miss_outputs(width, height, kernel, stride):
    """SameUpper with stride 1 on an even size, or kernel 4 with stride 2: the padded input
    does not hold one window per output, in either dimension. InputConv2D refuses when built."""
    with pytest.raises(ValueError, match=r"Cannot build layer 'hrc' \(InputConv2D\): with "
                       r"padding SameUpper, kernel \d x \d and stride \d x \d, the padded "
                       rf"{width} x {height} input holds .* windows"):
        model_of(hrc_v2(width, height, kernel, stride))


def hrc_v2(width, height, kernel=3, stride=1):
    return layer(core.InputConv2D, "hrc", input_width=width, input_height=height,
                 input_channels=1, kernel_size=kernel, kernel_stride=stride, filters=2, padding=2)


@pytest.mark.parametrize("dimension", [0, 1])
def test_input_conv2d_file_refused_where_windows_miss_outputs(tmp_path, dimension):
    """A file written with an odd size that fits, that size then made even: the file refuses
    to load."""
    sizes = [5, 5]
    sizes[dimension] = 4661
    buffer = model_of(hrc_v2(*sizes)).to_buffer()
    size = (4661).to_bytes(4, "little")
    assert buffer.count(size) == 1
    content = buffer[:-4].replace(size, (4662).to_bytes(4, "little"))
    sealed = content + crc32c(content).to_bytes(4, "little")
    (tmp_path / "bad.fbz").write_bytes(snappy.compress(sealed))
    with pytest.raises(ValueError, match="Cannot build layer 'hrc'.*windows"):
        core.Model(str(tmp_path / "bad.fbz"))


@pytest.mark.parametrize("size,stride,windows", [(8, 1, 7), (10, 3, 3), (7, 1, None)])
def test_input_convolutional_with_same_upper_padding(rng, tmp_path, size, stride, windows):
    """The v1 HRC reads any padding but Valid as Same, with the pads of the layer's
    convolution: an InputConvolutional layer with SameUpper padding builds, saves, loads and
    maps whatever its geometry. Where its padded input holds `windows` x `windows` windows for
    more outputs, only its software run refuses, naming the layer; an odd size runs."""
    def hrc(padding, variables=None):
        m = model_of(layer(core.InputConvolutional, "hrc", input_width=size, input_height=size,
                           input_channels=1, kernel_width=3, kernel_height=3, filters=8,
                           padding=padding, stride_x=stride, stride_y=stride, padding_value=7))
        for name, value in (variables or {}).items():
            m.get_layer("hrc").variables[name] = value
        return m

    model = hrc(2)
    v = randomise(model.get_layer("hrc"), rng, weights=(-20, 20), threshold=(0, 300))
    out = -(-size // stride)
    assert model.output_shape == [out, out, 8]
    model.save(str(tmp_path / "hrc.fbz"))
    loaded = core.Model(str(tmp_path / "hrc.fbz"))
    assert loaded.to_buffer() == model.to_buffer()

    def program(m):
        m._map(v1_device())
        assert [s.name for s in m.sequences] == ["HW/hrc"]
        return np.frombuffer(m.sequences[0].program, np.uint32)

    same_upper, same = program(loaded), program(hrc(1, v))
    assert np.array_equal(program(model), same_upper)
    # Same pads 1 on each side; SameUpper on an even size leaves the bottom and right pads 0:
    # they differ in the HRC's pad word alone (bottom pad bits 12-14, right pad bits 4-6).
    changed = np.nonzero(same_upper != same)[0]
    pads = (same_upper[changed] ^ same[changed]).tolist()
    assert pads == ([] if size % 2 else [1 << 12 | 1 << 4])

    x = inputs(rng, (2, size, size, 1), high=255)
    for m in (model, loaded):  # mapped on a device without hardware: run in software
        if windows is None:
            w = v["weights"].transpose(1, 0, 2, 3)  # stored (ky, kx, C, F)
            frames = [mo.v1_levels(mo.input_conv(f, w, np.array([7]), stride, "SameUpper"),
                                   v["threshold"], v["act_step"], 1) for f in x]
            check(m, x, frames, np.uint8)
        else:
            with pytest.raises(RuntimeError, match=(
                    rf"^Cannot run layer 'hrc' \(InputConvolutional\): with padding SameUpper, "
                    rf"kernel 3 x 3 and stride {stride} x {stride}, the padded {size} x {size} "
                    rf"input holds {windows} x {windows} windows for {out} x {out} outputs; no "
                    r"windows are defined for that geometry")):
                m.forward(x)


@pytest.mark.parametrize("depthwise", [False, True])
def test_buffer_temp_conv_keeps_a_fifo_across_frames(rng, depthwise):
    kind = core.DepthwiseBufferTempConv if depthwise else core.BufferTempConv
    keys = dict(fifo_size=3, activation=0) if depthwise else dict(fifo_size=3, filters=2,
                                                                   activation=0)
    m = model_of(layer(core.InputData, "in", input_width=3, input_height=2, input_channels=2,
                       input_bits=4), layer(kind, "tnp", **keys))
    v = randomise(m.get_layer("tnp"), rng)
    x = inputs(rng, (4, 3, 2, 2))
    fifo = np.zeros((3, 2, 3, 2), np.int64)
    frames = []
    for f in x:
        fifo = np.concatenate([fifo[:, :, 1:], f[:, :, None, :]], axis=2)
        shifted = mo.lshift(fifo, v["input_shift"])
        if depthwise:
            acc = np.einsum("xydc,dc->xyc", shifted, v["weights"][0, 0].astype(np.int64))
        else:
            acc = mo.matmul(shifted.reshape(3, 2, -1), v["weights"][0, 0])
        frames.append(mo.v2_tail(acc, v, 8))
    check(m, x, frames, np.int8)


def test_stateful_recurrent(rng):
    m = model_of(layer(core.InputData, "in", input_width=2, input_height=5, input_channels=3,
                       input_signed=1),
                 layer(core.StatefulRecurrent, "tnpr", stateful_channels=4, output_channels=2,
                       subsample=2))
    v = randomise(m.get_layer("tnpr"), rng, in_proj=(-3, 3), out_proj=(-3, 3), A_real=(-3, 3),
                  A_imag=(-3, 3), internal_state_outputs_shift=(-2, 0), new_state_scale=(1, 2),
                  new_state_shift=(-2, 0))
    x = inputs(rng, (2, 2, 5, 3), low=-20, high=20, dtype=np.int8)
    zero = np.zeros(4, np.int64)
    frames = []
    for f in x:
        rows = []
        for row in f:
            proj = mo.matmul(mo.lshift(row[None], v["input_shift"]), v["in_proj"], transpose=True)
            re, _ = o.stateful_main_op(proj, v["internal_state_outputs_shift"], zero, zero,
                                       v["A_real"], v["A_imag"], 32, 32)
            kept = re[:, [1, 3, 4]]  # the last step of each window of 2, then the partial one
            scaled = o.scale_out(kept, v["new_state_scale"], v["new_state_shift"], 8, 32)
            rows.append(mo.v2_tail(mo.matmul(scaled, v["out_proj"], transpose=True), v, 8)[0])
        frames.append(np.stack(rows))
    check(m, x, frames, np.int8)


@pytest.mark.parametrize("output_bits", [1, 32])
def test_mote_post_processing(rng, output_bits):
    m = model_of(layer(core.InputData, "in", input_width=2, input_height=6, input_channels=3,
                       input_signed=1),
                 layer(core.MotePostProcessing, "post", output_bits=output_bits))
    v = randomise(m.get_layer("post"), rng, threshold=(5, 5), input_scales=(1, 4),
                  input_shift=(-1, 0))
    x = inputs(rng, (3, 2, 6, 3), low=-30, high=30, dtype=np.int8)
    frames = []
    for f in x:
        q = o.scale_out(f.astype(np.int64), v["input_scales"], v["input_shift"], 16, 32)
        p = np.concatenate([q[:, :1], q[:, :-1]], axis=1)
        frames.append(o.motepostprocessing(p, q, np.full(3, v["threshold"][0]), 32,
                                           output_bits > 1))
    check(m, x, frames, np.uint8 if output_bits == 1 else np.int32)


def test_quantizer_then_dequantizer(rng):
    quantizer = layer(core.Quantizer, "q", input_width=3, input_height=2, input_channels=2)
    m = model_of(quantizer, layer(core.Dequantizer, "dq"))
    q = m.get_layer("q").variables
    q["scales"] = np.array([0.5, 0.25], np.float32)
    q["zero_points"] = np.array([1, -2], np.int32)
    m.get_layer("dq").variables["scales"] = np.array([2.0, 0.5], np.float32)
    x = rng.uniform(-40, 40, (2, 3, 2, 2)).astype(np.float32)
    levels = np.clip(np.round(x / [0.5, 0.25]) + [1, -2], -128, 127)
    out = m.forward(x)
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out, (levels * [2.0, 0.5]).astype(np.float32))
    q["scales"] = np.array([0.0, 1.0], np.float32)
    with pytest.raises(ValueError, match="scale of channel 0"):
        m.forward(x)
    q["scales"] = np.array([1.0, 1.0], np.float32)
    x[0, 0, 0, 0] = np.nan
    with pytest.raises(ValueError, match="NaN"):
        m.forward(x)


@pytest.mark.parametrize("merge", ["add", "concatenate"])
def test_merge_layers(rng, merge):
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=4, input_height=3, input_channels=2))
    m.add(layer(core.Conv2D, "a", kernel_size=1, filters=3, activation=0))
    m.add(layer(core.Conv2D, "b", kernel_size=3, filters=3, activation=0), [m.get_layer("in")])
    kind = core.Add if merge == "add" else core.Concatenate
    m.add(layer(kind, "merge"), [m.get_layer("a"), m.get_layer("b")])
    va, vb = randomise(m.get_layer("a"), rng), randomise(m.get_layer("b"), rng)
    vm = randomise(m.get_layer("merge"), rng, a_shift=(0, 2), b_shift=(0, 2),
                   output_shift=(-2, 0))
    x = inputs(rng, (2, 4, 3, 2))
    frames = []
    for f in x:
        a = mo.v2_tail(mo.conv2d(mo.lshift(f, va["input_shift"]), va["weights"], 1, "Same"), va, 8)
        b = mo.v2_tail(mo.conv2d(mo.lshift(f, vb["input_shift"]), vb["weights"], 1, "Same"), vb, 8)
        if merge == "add":
            total = mo.lshift(a, vm["a_shift"]) + mo.lshift(b, vm["b_shift"])
            frames.append(o.scale_out(total, np.ones(3), vm["output_shift"], 8, 32))
        else:
            frames.append(np.concatenate([a, b], axis=2))
    check(m, x, frames, np.int8)


def test_input_convolutional(rng):
    m = model_of(layer(core.InputConvolutional, "hrc", input_width=6, input_height=5,
                       input_channels=1, kernel_width=3, kernel_height=3, filters=3,
                       padding_value=9, act_bits=2))
    v = randomise(m.get_layer("hrc"), rng, weights=(-3, 3), threshold=(0, 20))
    m.get_layer("hrc").variables["act_step"] = np.array([1.5, 2.0, 4.0], np.float32)
    x = inputs(rng, (2, 6, 5, 1), high=255)
    w = v["weights"].transpose(1, 0, 2, 3)  # stored (ky, kx, C, F)
    frames = [mo.v1_levels(mo.input_conv(f, w, np.array([9]), 1, "Same"), v["threshold"],
                           np.array([1.5, 2.0, 4.0]), 2) for f in x]
    check(m, x, frames, np.uint8)


def test_convolutional_with_pooling(rng):
    m = model_of(layer(core.InputData, "in", input_width=5, input_height=5, input_channels=2,
                       input_bits=4),
                 layer(core.Convolutional, "cnp", kernel_width=3, kernel_height=3, filters=3,
                       pool_type=1, pooling_width=2, pooling_height=2, act_bits=4))
    v = randomise(m.get_layer("cnp"), rng, weights=(-7, 7), threshold=(0, 10))
    x = inputs(rng, (2, 5, 5, 2))
    frames = [mo.v1_levels(mo.max_pool(2, 2, "Same")(mo.conv2d(f, v["weights"], 1, "Same")),
                           v["threshold"], v["act_step"], 4) for f in x]
    check(m, x, frames, np.uint8)


def test_separable_convolutional_potentials(rng):
    m = model_of(layer(core.InputData, "in", input_width=4, input_height=4, input_channels=3,
                       input_bits=2),
                 layer(core.SeparableConvolutional, "sep", kernel_width=3, kernel_height=3,
                       filters=2, activation=0))
    v = randomise(m.get_layer("sep"), rng, weights=(-7, 7), weights_pw=(-7, 7))
    x = inputs(rng, (2, 4, 4, 3), high=3)
    frames = [mo.matmul(mo.depthwise(f, v["weights"], 1, "Same"), v["weights_pw"]) for f in x]
    check(m, x, frames, np.int32)


def test_fully_connected_binary(rng):
    m = model_of(layer(core.InputData, "in", input_width=3, input_height=3, input_channels=2,
                       input_bits=1),
                 layer(core.FullyConnected, "fc", units=4))
    v = randomise(m.get_layer("fc"), rng, weights=(0, 1), threshold=(2, 5))
    x = inputs(rng, (5, 3, 3, 2), high=1)
    frames = [mo.v1_levels(mo.matmul(f.reshape(1, 1, -1), v["weights"]), v["threshold"],
                           v["act_step"], 1) for f in x]
    check(m, x, frames, np.uint8)


def test_batches_give_the_same_outputs(rng):
    m = model_of(layer(core.InputData, "in", input_width=3, input_height=2, input_channels=2,
                       input_bits=4), layer(core.BufferTempConv, "tnp", fifo_size=2, filters=2))
    randomise(m.get_layer("tnp"), rng)
    x = inputs(rng, (7, 3, 2, 2))
    whole = m.forward(x)
    for batch in (1, 3, 7, 100):
        np.testing.assert_array_equal(m.forward(x, batch_size=batch), whole)
