"""Writes a seed corpus for model_fuzz: one small model per road (see model_fuzz.cpp).
Usage: PYTHONPATH=<build>/python python tests/fuzz/make_seeds.py <corpus folder>"""
import pathlib
import sys

import snappy

from morla import core


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


def models():
    v1 = core.Model()
    v1.add(layer(core.InputData, "in", input_width=4, input_height=3, input_channels=2,
                 input_bits=1))
    v1.add(layer(core.Convolutional, "cnp", kernel_width=3, kernel_height=3, filters=2))
    v1.add(layer(core.FullyConnected, "fc", units=4, activation=0))
    v1.compile(core.MorlaUnsupervised(num_weights=3, num_classes=2))
    v2 = core.Model()
    v2.add(layer(core.InputData, "in", input_width=4, input_height=4, input_channels=2))
    v2.add(layer(core.Conv2D, "conv", kernel_size=3, filters=2, pool_type=1, pool_size=2))
    v2.add(layer(core.Dense1D, "dense", units=3))
    return v1, v2


def inner_description(buffer):
    """The model description: the buffer without its 4-byte checksum trailer."""
    return buffer[:-4]


def main(folder):
    out = pathlib.Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    for i, model in enumerate(models()):
        buffer = model.to_buffer()
        (out / f"buffer{i}").write_bytes(b"\x00" + buffer)
        (out / f"inner{i}").write_bytes(b"\x02" + inner_description(buffer))
        (out / f"file{i}").write_bytes(b"\x01" + snappy.compress(buffer))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
