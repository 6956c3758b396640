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


def _crc32c_table():
    table = []
    for byte in range(256):
        crc = byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
        table.append(crc)
    return table


CRC32C_TABLE = _crc32c_table()


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc = CRC32C_TABLE[(crc ^ byte) & 0xFF] ^ (crc >> 8)
    return crc ^ 0xFFFFFFFF


def resealed(buffer, rng):
    """The model description (the buffer without its 4-byte CRC-32C trailer) damaged, then
    followed by its own correct checksum: the damage reaches the checks behind the checksum."""
    content = mutate(buffer[:-4], rng)
    return content + crc32c(content).to_bytes(4, "little")


def try_load(path, data, x, refusals=None):
    path.write_bytes(data)
    try:
        model = core.Model(str(path))
    except (RuntimeError, ValueError, IndexError, MemoryError) as e:
        if refusals is not None:
            refusals.append(str(e))
        return False
    try:  # a model that loads must also run or refuse cleanly
        model.forward(x)
    except (RuntimeError, ValueError, IndexError):
        pass
    return True


def test_the_checksum_is_the_model_buffer_trailer():
    buffer = sample_model().to_buffer()
    assert crc32c(buffer[:-4]).to_bytes(4, "little") == buffer[-4:]


@pytest.mark.parametrize("target", ["file", "buffer", "resealed"])
def test_damaged_models_never_crash(tmp_path, target):
    model = sample_model()
    buffer = model.to_buffer()
    path = tmp_path / "fuzz.fbz"
    model.save(str(path))
    original = path.read_bytes()
    x = np.zeros((1, 5, 4, 2), np.uint8)
    rng = np.random.default_rng({"file": 1234, "buffer": 4321, "resealed": 2468}[target])
    deadline = time.monotonic() + SECONDS
    loaded = rounds = 0
    refusals = []
    while rounds < ROUNDS and time.monotonic() < deadline:
        if target == "file":
            data = mutate(original, rng)
        elif target == "buffer":
            data = snappy.compress(mutate(buffer, rng))
        else:
            data = snappy.compress(resealed(buffer, rng))
        loaded += try_load(path, data, x, refusals)
        rounds += 1
    assert rounds > 0
    if target == "resealed":  # every refusal comes from a check behind the checksum
        assert not [r for r in refusals if "checksum" in r]
    # The untouched file still loads after the whole run.
    assert try_load(path, original, x)
