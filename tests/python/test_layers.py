"""Layer parameters, layers, variables, bit widths, metrics and learning parameters."""
import copy

import numpy as np
import pytest

from morla import core

CONV2D = {"kernel_size": 3, "filters": 4}
HRC = dict(input_width=8, input_height=8, input_channels=1, kernel_width=3, kernel_height=3,
           filters=2, weights_bits=4)


def hrc_layer(name="hrc"):
    return core.Layer(core.LayerParams(core.InputConvolutional, HRC), name)


def test_layer_params_round_trip():
    p = core.LayerParams(core.Conv2D, CONV2D)
    assert p.layer_type == core.LayerType.Conv2D
    assert p.get("filters") == 4 and p.filters == 4 and p.kernel_size == 3
    assert p.has("kernel_size") and not p.has("nope")
    # Every key of the type, defaults included, sorted by dir.
    assert dir(p) == sorted(["activation", "filters", "kernel_size", "kernel_stride",
                             "output_bits", "padding", "pool_size", "pool_type", "weights_bits"])


@pytest.mark.parametrize("name,expected", [
    ("kernel_size", [3, 5]), ("kernel_stride", [1, 2]), ("pool_size", [2, 2]),
    ("pool_stride", [-1, 1])])
def test_compound_names_read_per_axis_keys(name, expected):
    p = core.LayerParams(core.Convolutional, dict(
        filters=2, kernel_width=3, kernel_height=5, stride_x=1, stride_y=2, pooling_width=2,
        pooling_height=2, pooling_stride_y=1))
    assert p.get(name) == expected
    assert getattr(p, name) == expected
    assert not p.has(name)
    assert name not in dir(p)


def test_missing_key_and_python_hooks_raise_value_error():
    p = core.LayerParams(core.Conv2D, CONV2D)
    for read in (lambda: p.get("nope"), lambda: p.nope, lambda: p.Kernel_size,
                 lambda: getattr(p, "nope", 0), lambda: hasattr(p, "nope"),
                 lambda: copy.deepcopy(p)):
        with pytest.raises(ValueError, match="Key .* not found"):
            read()
    with pytest.raises(ValueError, match="^Key nope not found$"):
        p.get("nope")


@pytest.mark.parametrize("layer_type,entries,match", [
    (core.Conv2D, {"kernel_size": 3}, "Missing key 'filters'"),
    (core.Conv2D, dict(CONV2D, nope=1), "Unknown key 'nope'"),
    (core.Conv2D, dict(CONV2D, kernel_stride=0), "out of range"),
    (core.BufferTempConv, {"fifo_size": 15, "filters": 2}, "out of range"),
    (core.Unknown, {}, "Unknown"),
])
def test_layer_params_refusals(layer_type, entries, match):
    with pytest.raises(ValueError, match=match):
        core.LayerParams(layer_type, entries)


def test_layer_params_argument_types():
    with pytest.raises(TypeError):
        core.LayerParams(14, CONV2D)
    with pytest.raises(TypeError):
        core.LayerParams(core.Conv2D, {"kernel_size": 2**31, "filters": 1})


def test_copy_survives_the_layer():
    layer = hrc_layer()
    view = layer.parameters
    copied = copy.copy(view)
    del layer
    assert copied.filters == 2 and view.filters == 2  # the view keeps its layer alive
    assert copied is not view


def test_enums_exported():
    assert core.LayerType(26) == core.StatefulRecurrent
    names = list(core.LayerType.__members__)
    assert names.index("StatefulRecurrent") < names.index("Dense1D")
    assert core.ReLU == core.ActivationType.ReLU and core.Same == core.Padding.Same


def test_layer_members():
    layer = hrc_layer("first")
    assert layer.name == "first"
    assert layer.input_dims == [8, 8, 1]
    assert layer.output_dims == [8, 8, 2]
    assert layer.input_bits == 8
    assert layer.inbounds == [] and layer.mapping is None
    assert layer.macs == 8 * 8 * 9 * 1 * 2
    assert not layer.splittable
    assert layer.is_target_component(core.NP.Type.HRC)
    assert not layer.is_target_component(core.NP.Type.CNP1)
    with pytest.raises(TypeError):
        layer.is_target_component(1)


def test_layer_refusals():
    with pytest.raises(ValueError):
        core.Layer(None, "x")
    # Pooling strides below 1 are refused when the layer is built.
    with pytest.raises(ValueError, match="pooling strides"):
        core.Layer(core.LayerParams(core.InputConvolutional, dict(
            HRC, pool_type=1, pooling_width=2, pooling_height=2, pooling_stride_x=0)), "x")
    unbuilt = core.Layer(core.LayerParams(core.Conv2D, CONV2D), "conv")
    assert unbuilt.variables.names == [] and unbuilt.input_dims == []
    with pytest.raises(RuntimeError, match="not built"):
        unbuilt.output_dims


def test_variables_read_write_and_refusals():
    layer = hrc_layer()
    variables = layer.variables
    del layer  # the store keeps its layer alive
    assert variables.names == ["act_step", "threshold", "weights"]
    weights = variables["weights"]
    assert weights.dtype == np.int8 and weights.shape == (3, 3, 1, 2)
    new = np.arange(-7, 11, dtype=np.int8).reshape(3, 3, 1, 2) % 8
    variables["weights"] = new
    np.testing.assert_array_equal(variables["weights"], new)
    with pytest.raises(ValueError, match="^Unsupported variable type for weights expected int8 "
                                         "received float32$"):
        variables["weights"] = new.astype(np.float32)
    with pytest.raises(ValueError, match="Unexpected tensor shape"):
        variables["weights"] = np.zeros((2, 2), dtype=np.int8)
    with pytest.raises(ValueError, match="1/16"):
        variables["act_step"] = np.array([1.0, 0.01], dtype=np.float32)
    with pytest.raises(ValueError, match="No such variable"):
        variables["nope"]
    np.testing.assert_array_equal(variables["weights"], new)
    np.testing.assert_array_equal(variables["act_step"], [1.0, 1.0])


@pytest.mark.parametrize("array,bits", [
    (np.array([1.5, -3], dtype=np.float32), 0),
    (np.zeros(3, dtype=np.int8), 2),
    (np.array([-2, 1], dtype=np.int8), 2),
    (np.array([-128, 127], dtype=np.int8), 8),
    (np.zeros(3, dtype=np.uint8), 1),
    (np.array([255], dtype=np.uint8), 8),
    (np.array([-129], dtype=np.int32), 9),
    (np.array([1000], dtype=np.int16), 11),
    (np.array([65535], dtype=np.uint16), 16),
])
def test_evaluate_bitwidth(array, bits):
    assert core.evaluate_bitwidth(array) == bits


def test_evaluate_bitwidth_refusals():
    with pytest.raises(RuntimeError, match="Wrong py::array type"):
        core.evaluate_bitwidth(np.zeros(2, dtype=np.int64))
    with pytest.raises(TypeError):
        core.evaluate_bitwidth([1, 2])


def test_metrics_cannot_be_made_from_python():
    with pytest.raises(TypeError):
        core.Metrics()
    assert "A set of 64-bit integer metrics" in core.Metrics.__doc__


def test_morla_unsupervised():
    opt = core.MorlaUnsupervised(10)
    assert dir(opt) == sorted(["initial_plasticity", "learning_competition", "min_plasticity",
                               "num_classes", "num_weights", "plasticity_decay"])
    assert opt.get("num_weights") == 10.0 and opt.num_classes == 1.0
    assert opt.min_plasticity == 0.10000000149011612
    assert opt.plasticity_decay == 0.25 and opt.learning_type == 0
    assert isinstance(opt.num_weights, float)
    other = copy.copy(opt)
    assert other is not opt and other.num_weights == 10.0
    assert core.MorlaUnsupervised(3, num_classes=0, initial_plasticity=2).initial_plasticity == 2.0
    with pytest.raises(ValueError):
        opt.nope
    for bad in ({"num_weights": -1}, {"num_weights": 1.5}, {}, {"num_weights": 1, "num_classes": -2}):
        with pytest.raises(TypeError):
            core.MorlaUnsupervised(**bad)
    with pytest.raises(TypeError):
        core.Optimizer()


def test_graph_utils_on_a_lone_layer():
    layer = hrc_layer()
    gu = core.graph_utils
    assert gu.get_mappable_layer(layer) is layer
    assert gu.first_mappable_layer([]) is None and gu.last_mappable_layer([]) is None
    assert gu.first_mappable_layer((layer,)) is layer
    assert gu.extract_main_branch(layer) == [] and gu.extract_skip_branch(layer) == []
    assert gu.next_mappable_layer(layer) is None
    assert gu.previous_mappable_layer(layer) is None
    assert not gu.is_merge_layer(layer) and not gu.dual_output_to_store_dma(layer)
    with pytest.raises(TypeError):
        gu.first_mappable_layer("abc")
