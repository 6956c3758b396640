"""The README's table of layer types against the layers: every type is built, and each
variable Python reads has the name, shape and dtype its row gives."""

import math
import pathlib
import re

import numpy as np
import pytest

import morla.core as core
from map_models import layer

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"

# Shorthand of the table, as the paragraph under it defines it.
NEURONS = [("output_scales", "uint8"), ("output_shift", "int8"), ("bias", "int8"),
           ("bias_shift", "uint8")]
NEURONS_BY_ACTIVATION = {
    core.ActivationType.NoActivation: [],
    core.ActivationType.ReLU: [("max_value", "uint8"), ("max_value_shift", "uint8")],
    core.ActivationType.LUT: [("activation_scales", "uint8"), ("activation_shift", "int8")],
}


def table_rows():
    """{type name: variables column} of the table in the README's "Layer types" section."""
    section = README.read_text().split("\n## Layer types\n")[1].split("\n## ")[0]
    rows = {}
    for line in section.splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if line.startswith("|") and len(cells) == 4 and cells[0] not in ("type", "---"):
            rows[cells[0]] = cells[3]
    return rows


def expected_variables(column, symbols, activation):
    """{name: (shape, dtype)} from a variables cell: "names (dims) dtype" entries split by
    "; ", dims over the symbols of the layer; "v2 neuron variables (n)" expands."""
    if column == "none":
        return {}
    expected = {}
    for entry in column.split("; "):
        names, dims, dtype = re.fullmatch(r"(.+?) \((.+?)\)(?: (\w+))?(?: after compile)?",
                                          entry).groups()
        shape = tuple(eval(d.replace("×", "*"), {}, symbols) for d in dims.split(", "))
        if names == "v2 neuron variables":
            for name, kind in NEURONS + NEURONS_BY_ACTIVATION[activation]:
                expected[name] = (shape, kind)
            if activation == core.ActivationType.LUT:
                expected["lut_values"] = ((2048,), "int32")
            continue
        for name in names.split(", "):
            expected[name] = (shape, dtype)
    return expected


def built_models():
    """Models holding every layer type, with distinct sizes on every axis (a non-square v1
    kernel, one LUT activation), the last FullyConnected compiled for learning."""
    v1 = core.Model()
    v1.add(layer(core.InputConvolutional, "InputConvolutional", input_width=9, input_height=7,
                 input_channels=3, kernel_width=3, kernel_height=5, filters=4))
    v1.add(layer(core.Convolutional, "Convolutional", kernel_width=5, kernel_height=3,
                 filters=6))
    v1.add(layer(core.SeparableConvolutional, "SeparableConvolutional", kernel_width=3,
                 kernel_height=5, filters=2))
    v1.add(layer(core.FullyConnected, "FullyConnected", units=10, activation=0))
    v1.compile(core.MorlaUnsupervised(num_weights=4, num_classes=2))

    v2 = core.Model()
    v2.add(layer(core.InputConv2D, "InputConv2D", input_width=9, input_height=7,
                 input_channels=3, kernel_size=3, filters=4))
    v2.add(layer(core.Conv2D, "Conv2D", kernel_size=5, filters=6))
    v2.add(layer(core.DepthwiseConv2D, "DepthwiseConv2D", kernel_size=3))
    v2.add(layer(core.Add, "Add"), [v2.get_layer("DepthwiseConv2D"), v2.get_layer("Conv2D")])
    v2.add(layer(core.Concatenate, "Concatenate"), [v2.get_layer("Add"), v2.get_layer("Conv2D")])
    v2.add(layer(core.Conv2DTranspose, "Conv2DTranspose", kernel_size=3, filters=5,
                 activation=int(core.ActivationType.LUT)))
    v2.add(layer(core.DepthwiseConv2DTranspose, "DepthwiseConv2DTranspose", kernel_size=5))
    v2.add(layer(core.BufferTempConv, "BufferTempConv", fifo_size=3, filters=7))
    v2.add(layer(core.DepthwiseBufferTempConv, "DepthwiseBufferTempConv", fifo_size=4))
    v2.add(layer(core.Dense1D, "Dense1D", units=2))

    mote = core.Model()
    mote.add(layer(core.InputData, "InputData", input_width=2, input_height=8,
                   input_channels=6))
    mote.add(layer(core.StatefulRecurrent, "StatefulRecurrent", stateful_channels=16,
                   output_channels=3))
    mote.add(layer(core.MotePostProcessing, "MotePostProcessing"))

    quantized = core.Model()
    quantized.add(layer(core.Quantizer, "Quantizer", input_width=4, input_height=3,
                        input_channels=5))
    quantized.add(layer(core.Dequantizer, "Dequantizer"))
    return [v1, v2, mote, quantized]


def symbols_of(item):
    keys = item.parameters
    value = lambda key: getattr(keys, key) if key in dir(keys) else None  # noqa: E731
    dims = item.input_dims
    dims = dims[0] if isinstance(dims[0], list) else dims  # the first of a merge's inputs
    return {"C": dims[-1], "F": item.output_dims[-1], "inputs": math.prod(dims), "kw": value("kernel_width"),
            "kh": value("kernel_height"), "k": value("kernel_size"),
            "fifo_size": value("fifo_size"), "S": value("stateful_channels"),
            "O": value("output_channels")}


def test_every_layer_type_has_the_variables_of_its_readme_row():
    rows = table_rows()
    layers = [item for model in built_models() for item in model.layers]
    assert sorted(item.name for item in layers) == sorted(rows)
    for item in layers:
        keys = item.parameters
        activation = core.ActivationType(keys.activation if "activation" in dir(keys) else 0)
        expected = expected_variables(rows[item.name], symbols_of(item), activation)
        variables = item.variables
        actual = {name: (variables[name].shape, str(variables[name].dtype))
                  for name in variables.names}
        assert actual == expected, item.name
