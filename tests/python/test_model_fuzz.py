"""Seeded fuzzing of model loading: damaged .fbz files and damaged serialized models (wrapped
in valid snappy blocks) either load or raise a Python exception, never crash. Each run is
bounded by a count and a few seconds."""
import time

import numpy as np
import pytest
import snappy

from morla import core

SECONDS = 3.0
ROUNDS = 400


def layer(kind, name, **keys):
    return core.Layer(core.LayerParams(kind, keys), name)


def sample_model():
    m = core.Model()
    m.add(layer(core.InputData, "in", input_width=5, input_height=4, input_channels=2,
                input_bits=1))
    m.add(layer(core.Convolutional, "cnp", kernel_width=3, kernel_height=3, filters=3))
    m.add(layer(core.FullyConnected, "fc", units=4, activation=0))
    m.compile(core.MorlaUnsupervised(num_weights=5, num_classes=2))
    return m


def mutate(data, rng):
    data = bytearray(data)
    kind = rng.integers(4)
    if kind == 0 and data:  # flip bits
        for _ in range(rng.integers(1, 5)):
            i = rng.integers(len(data))
            data[i] ^= 1 << rng.integers(8)
    elif kind == 1 and data:  # truncate
        del data[rng.integers(len(data)):]
    elif kind == 2:  # extend
        data += rng.integers(0, 256, rng.integers(1, 64)).astype(np.uint8).tobytes()
    elif data:  # overwrite a run with one value
        start = rng.integers(len(data))
        data[start:start + rng.integers(1, 9)] = bytes([rng.integers(256)]) * 8
    return bytes(data)


def try_load(path, data, x):
    path.write_bytes(data)
    try:
        model = core.Model(str(path))
    except (RuntimeError, ValueError, IndexError, MemoryError):
        return False
    try:  # a model that loads must also run or refuse cleanly
        model.forward(x)
    except (RuntimeError, ValueError, IndexError):
        pass
    return True


@pytest.mark.parametrize("target", ["file", "buffer"])
def test_damaged_models_never_crash(tmp_path, target):
    model = sample_model()
    buffer = model.to_buffer()
    path = tmp_path / "fuzz.fbz"
    model.save(str(path))
    original = path.read_bytes()
    x = np.zeros((1, 5, 4, 2), np.uint8)
    rng = np.random.default_rng(1234 if target == "file" else 4321)
    deadline = time.monotonic() + SECONDS
    loaded = rounds = 0
    while rounds < ROUNDS and time.monotonic() < deadline:
        if target == "file":
            data = mutate(original, rng)
        else:
            data = snappy.compress(mutate(buffer, rng))
        loaded += try_load(path, data, x)
        rounds += 1
    assert rounds > 0
    # The untouched file still loads after the whole run.
    assert try_load(path, original, x)
