"""Model: construction, model files, inference metrics, fit labels, learning, add_classes and
evaluate."""
import math

import numpy as np
import pytest
import snappy

from morla import core


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


def conv_model():
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=6, input_height=5, input_channels=2))
    m.add(layer(core.Conv2D, "conv", kernel_size=3, filters=4, activation=0))
    m.add(layer(core.Dense1D, "dense", units=3, activation=0, output_bits=32))
    rng = np.random.default_rng(7)
    for name in ("conv", "dense"):
        store = m.get_layer(name).variables
        store["weights"] = rng.integers(-4, 5, store["weights"].shape).astype(np.int8)
        store["bias"] = rng.integers(-5, 6, store["bias"].shape).astype(np.int8)
    return m


def frames(n=3, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (n, 6, 5, 2)).astype(np.uint8)


# ---- Construction and properties ---------------------------------------------------------


def test_empty_models():
    for m in (core.Model(), core.Model([]), core.Model(layers=[])):
        assert m.layer_count == 0 and m.layers == [] and m.learning is None
        assert m.sequences == [] and m.device is None and m.power_events == []
        assert m.component_count == {} and m.external_memory_size == 0
        with pytest.raises(ValueError, match="^Cannot perform an inference on a model with no "
                                             "layers$"):
            m.forward(frames())
    with pytest.raises(TypeError):
        core.Model(None)
    with pytest.raises(TypeError):
        core.Model(filename=None)


def test_properties():
    m = conv_model()
    assert m.layer_count == 3 and [l.name for l in m.layers] == ["in", "conv", "dense"]
    assert m.input_shape == [6, 5, 2] and m.output_shape == [1, 1, 3]
    assert m.ip_version == core.IpVersion.v2
    assert m.macs == sum(l.macs for l in m.layers) > 0
    assert m.get_layer("conv").name == "conv" and m.get_layer(2).name == "dense"
    assert m.get_layer("nope") is None and m.get_layer(9) is None
    with pytest.raises(TypeError):
        m.get_layer(-1)
    assert core.Model.__doc__.startswith(
        "\n        An Morla neural ``Model``, represented as a hierarchy of layers.")
    assert ("\n           Saves all the model configuration (all layers and weights) to a\n"
            "           file on disk.\n" in core.Model.save.__doc__)
    m.pop_layer()
    assert m.layer_count == 2 and m.output_shape == [6, 5, 4]


def test_model_from_layers_adds_an_input_layer_and_copies():
    source = conv_model()
    copy = core.Model(source.layers[1:])
    assert [l.name for l in copy.layers] == ["InputData", "conv", "dense"]
    params = copy.get_layer("InputData").parameters
    assert (params.input_width, params.input_height, params.input_channels) == (6, 5, 2)
    assert params.input_bits == 8 and params.input_signed == 0
    assert copy.get_layer("conv") is not source.get_layer("conv")
    np.testing.assert_array_equal(copy.forward(frames()), source.forward(frames()))
    same = core.Model(source.layers)
    assert same.layer_count == 3 and same.to_buffer() == source.to_buffer()


def test_model_from_layers_refusals():
    source = conv_model()
    with pytest.raises(RuntimeError, match="^Invalid layer received$"):
        core.Model([source.layers[0], source.layers[1], None])
    # A fresh non-input layer has no input shape to build the InputData layer from.
    with pytest.raises(ValueError, match="not an input layer and has no input shape"):
        core.Model([layer(core.Conv2D, "c", kernel_size=3, filters=2)])
    with pytest.raises(RuntimeError, match="File not found"):
        core.Model("a str is a file name, never a list of layers")


# ---- Model files ----------------------------------------------------------------------------


def test_save_load_and_buffer(tmp_path):
    m = conv_model()
    path = tmp_path / "model.fbz"
    m.save(str(path))
    content = path.read_bytes()
    assert snappy.decompress(content) == m.to_buffer()
    loaded = core.Model(str(path))
    assert loaded.to_buffer() == m.to_buffer()
    np.testing.assert_array_equal(loaded.forward(frames()), m.forward(frames()))
    # Bytes after a valid block are ignored.
    path.write_bytes(content + b"\xff" * 13)
    assert core.Model(str(path)).to_buffer() == m.to_buffer()


@pytest.mark.parametrize("content,error,message", [
    (None, RuntimeError, "File not found."),
    ("dir", RuntimeError, "File not found."),
    (b"", RuntimeError, "File is empty."),
    (b"\xff" * 5, ValueError, "Cannot uncompress corrupted serialization buffer"),
    (b"\x80\x80\x80\x80\x0f", ValueError, "Cannot uncompress corrupted serialization buffer"),
    (snappy.compress(b"not a model at all"), ValueError, "Invalid serialized model: "),
])
def test_model_file_refusals(tmp_path, content, error, message):
    path = tmp_path / "model.fbz"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    with pytest.raises(error, match="^" + message.replace(".", r"\.")):
        core.Model(str(path))


def test_save_refusals_keep_the_old_file(tmp_path):
    m = conv_model()
    target = tmp_path / "missing" / "m.fbz"
    with pytest.raises(ValueError, match="^Unable to open file for saving model: " + str(target)):
        m.save(str(target))
    path = tmp_path / "m.fbz"
    path.write_bytes(b"old")
    with pytest.raises(ValueError):
        m.save(str(tmp_path))
    assert path.read_bytes() == b"old"


def test_compiled_model_round_trip(tmp_path):
    m = learning_model()
    x, labels = patterns(np.random.default_rng(3), 8)
    m.fit(x, labels)
    path = tmp_path / "learned.fbz"
    m.save(str(path))
    loaded = core.Model(str(path))
    assert loaded.to_buffer() == m.to_buffer()
    assert loaded.learning.num_classes == 4
    assert loaded.get_layer("fc").variables.names == m.get_layer("fc").variables.names


# ---- Inference ------------------------------------------------------------------------------


def test_metrics_after_a_run():
    m = conv_model()
    metrics = m.metrics
    with pytest.raises(ValueError, match="no such metrics"):
        metrics["inference_frames"]
    m.forward(frames(4))
    assert sorted(metrics.names) == ["inference_end", "inference_frames", "inference_start"]
    assert metrics["inference_frames"] == 4
    assert metrics["inference_end"] >= metrics["inference_start"] > 0
    m.predict(frames(2))
    assert metrics["inference_frames"] == 2
    del m
    assert metrics["inference_frames"] == 2  # the store keeps its model alive


@pytest.mark.parametrize("dtype", [np.uint16, np.int32, np.float64, np.int64])
def test_input_dtype_refusals(dtype):
    with pytest.raises(ValueError, match=r"^Input dtype should be int8, uint8, int16 or float32\.$"):
        conv_model().forward(frames().astype(dtype))


@pytest.mark.parametrize("x,match", [
    (np.zeros((2, 5, 6, 2), np.uint8), "do not match the model's input shape"),
    (np.zeros((2, 6, 5), np.uint8), "do not match the model's input shape"),
    (np.full((1, 6, 5, 2), -1, np.int16), "outside the range"),
    (np.zeros((1, 6, 5, 2), np.float32), "takes integer inputs"),
])
def test_input_refusals(x, match):
    with pytest.raises(ValueError, match=match):
        conv_model().forward(x)


def test_inputs_must_be_arrays_and_batch_unsigned():
    m = conv_model()
    with pytest.raises(TypeError):
        m.forward(frames().tolist())
    with pytest.raises(TypeError):
        m.forward(frames(), batch_size=-1)


def test_predict_returns_floats_and_refuses_activations():
    m = conv_model()
    np.testing.assert_array_equal(m.predict(frames()), m.forward(frames()).astype(np.float32))
    relu = core.Model([m.layers[0], layer(core.Conv2D, "c", kernel_size=3, filters=2)])
    with pytest.raises(RuntimeError, match="without an activation"):
        relu.predict(frames())


# ---- Learning -------------------------------------------------------------------------------

CLASSES = 4


def learning_model(units=CLASSES * 2, num_classes=CLASSES, competition=0.5):
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=8, input_height=8, input_channels=1,
                input_bits=1))
    m.add(layer(core.FullyConnected, "fc", units=units, weights_bits=1, activation=0))
    m.compile(core.MorlaUnsupervised(num_weights=16, num_classes=num_classes,
                                     learning_competition=competition))
    return m


def patterns(rng, per_class, flips=3, classes=CLASSES):
    """Well separated binary prototypes of 16 active inputs each, with a few flipped bits."""
    order = np.random.default_rng(99).permutation(64)
    prototypes = np.zeros((classes, 64), np.uint8)
    for c in range(classes):
        prototypes[c, order[c * 16:(c + 1) * 16]] = 1
    x, labels = [], []
    for c in range(classes):
        for _ in range(per_class):
            sample = prototypes[c].copy()
            sample[rng.choice(64, flips, replace=False)] ^= 1
            x.append(sample)
            labels.append(c)
    perm = rng.permutation(len(x))
    return (np.array(x)[perm].reshape(-1, 8, 8, 1), np.array(labels, np.int32)[perm])


def test_fit_then_evaluate_learns():
    m = learning_model()
    rng = np.random.default_rng(5)
    x_train, y_train = patterns(rng, 10)
    x_test, y_test = patterns(rng, 25)
    before = m.evaluate(x_test, y_test, num_classes=CLASSES)
    out = m.fit(x_train, y_train)
    assert out.shape == (len(x_train), 1, 1, CLASSES * 2) and out.dtype == np.int32
    accuracy = m.evaluate(x_test, y_test, num_classes=CLASSES)
    assert accuracy >= 0.9 > before
    weights = m.get_layer("fc").variables["weights"]
    assert (weights.sum(axis=0) == 16).all()  # every neuron keeps num_weights connections


def test_fit_is_deterministic():
    rng = np.random.default_rng(1)
    x, labels = patterns(rng, 5)
    first, second = learning_model(), learning_model()
    first.fit(x, labels)
    second.fit(x, list(labels))
    assert first.to_buffer() == second.to_buffer()


@pytest.mark.parametrize("labels", [2.5, math.nan, 1e10, -3e9, np.array([1.0, 2.0]),
                                    [1, "a"], [1.0, 2.0]])
def test_fit_label_refusals(labels):
    m = learning_model()
    x, _ = patterns(np.random.default_rng(0), 1)
    with pytest.raises(TypeError, match="^fit method expects integers as labels$"):
        m.fit(x[:2], labels)


@pytest.mark.parametrize("labels", [3.0, 3, np.int64(3), np.array([3, 1], np.int64), [3, 1], []])
def test_fit_label_forms(labels):
    m = learning_model()
    x, _ = patterns(np.random.default_rng(0), 1)
    assert m.fit(x[:2], labels).shape[0] == 2


def test_fit_refusals():
    m = learning_model()
    x, _ = patterns(np.random.default_rng(0), 1)
    with pytest.raises(RuntimeError, match="Number of labels should be the same"):
        m.fit(x[:3], [0, 1])
    with pytest.raises(TypeError):
        m.fit(x, (0, 1))
    with pytest.raises(RuntimeError, match="must be compiled"):
        conv_model().fit(frames(), [0])
    with pytest.raises(TypeError):
        m.compile(None)
    for bad in (dict(num_weights=65), dict(num_weights=16, num_classes=3),
                dict(num_weights=16, initial_plasticity=1.5)):
        with pytest.raises(ValueError):
            m.compile(core.MorlaUnsupervised(**bad))
    # A refused compile leaves the earlier learning in place.
    assert m.learning.num_classes == CLASSES


def test_labels_beyond_the_classes_are_discarded():
    m = learning_model()
    x, _ = patterns(np.random.default_rng(0), 2)
    before = m.to_buffer()
    m.fit(x, np.full(len(x), CLASSES, np.int32))
    assert m.to_buffer() == before


def test_learning_property_is_the_shared_optimizer():
    m = learning_model()
    first = m.learning
    assert m.learning.num_weights == 16
    m.add_classes(1)
    assert first.num_classes == CLASSES  # the object of the earlier learning stays usable
    assert m.learning.num_classes == CLASSES + 1


def test_add_classes_keeps_learned_weights():
    m = learning_model(units=10, num_classes=10)
    fc = m.get_layer("fc")
    rng = np.random.default_rng(4)
    fc.variables["weights"] = rng.integers(0, 2, (64, 10)).astype(np.int8)
    old = {name: fc.variables[name] for name in fc.variables.names}
    m.add_classes(2)
    assert m.layer_count == 2 and m.learning.num_classes == 12
    grown = m.get_layer("fc")
    assert grown.parameters.units == 12 and grown.name == "fc"
    np.testing.assert_array_equal(grown.variables["weights"][:, :10], old["weights"])
    for name in ("threshold", "act_step", "threshold_learning", "thswap"):
        np.testing.assert_array_equal(grown.variables[name][:10], old[name])


def test_add_classes_refusals():
    m = learning_model()
    before = m.to_buffer()
    with pytest.raises(ValueError, match=r"^The number of classes to add must be positive\.$"):
        m.add_classes(0)
    assert m.to_buffer() == before
    with pytest.raises(RuntimeError, match=r"^The model must have at least one layer\.$"):
        core.Model().add_classes(1)
    with pytest.raises(RuntimeError, match=r"^The last layer must be a FullyConnected layer\.$"):
        conv_model().add_classes(1)
    plain = learning_model()
    plain.add(layer(core.FullyConnected, "fc2", units=4, weights_bits=1))
    with pytest.raises(RuntimeError, match=r"^The last layer must be compiled\.$"):
        plain.add_classes(1)


# ---- Evaluate -------------------------------------------------------------------------------


def test_evaluate_refusals():
    m = conv_model()
    x = frames(2)
    with pytest.raises(ValueError, match=r"^Labels must be 1-D\.$"):
        m.evaluate(x, np.zeros((2, 1), np.int32))
    with pytest.raises(ValueError, match=r"^Inputs and labels must have the same size\.$"):
        m.evaluate(x, np.zeros(3, np.int32))
    with pytest.raises(ValueError, match=r"^Labels must be int32\.$"):
        m.evaluate(x, np.zeros(2, np.int64))
    with pytest.raises(ValueError, match=r"^Cannot classify with 1class\(es\)\.$"):
        m.evaluate(x, np.zeros(2, np.int32), num_classes=1)
    with pytest.raises(ValueError, match=r"^The number of neurons \[3\] is not a multiple of  the "
                                         r"number of classes \[2\]\.$"):
        m.evaluate(x, np.zeros(2, np.int32), num_classes=2)
    with pytest.raises(ValueError, match="no layers"):
        core.Model().evaluate(x, np.zeros(2, np.int32))
    with pytest.raises(TypeError):
        m.evaluate(x, [0, 1])


def test_evaluate_picks_the_strongest_neuron():
    m = conv_model()
    x = frames(6)
    out = m.predict(x)[:, 0, 0, :]
    labels = out.argmax(axis=1).astype(np.int32)
    assert m.evaluate(x, labels) == 1.0
    assert m.evaluate(x, (labels + 1) % 3) == 0.0
    assert m.metrics["inference_frames"] == 6
