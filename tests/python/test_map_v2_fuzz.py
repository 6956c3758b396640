"""Seeded fuzzing of IP v2 mapping: random, valid-looking v2 layer parameters and variables
go through _map in child processes, which must end with a program or a Python exception,
never a crash. Each child is bounded by a count and a few seconds."""
import os
import subprocess
import sys
import textwrap

import pytest

SECONDS = 2.0
ROUNDS = 300

CHILD = textwrap.dedent("""
    import sys, time
    import numpy as np
    sys.path.insert(0, {tests!r})
    import morla.core as core
    from test_map_v2 import NP, layer, v2_device

    rng = np.random.default_rng({seed})
    KINDS = [core.Conv2D, core.DepthwiseConv2D, core.Conv2DTranspose,
             core.DepthwiseConv2DTranspose, core.BufferTempConv, core.DepthwiseBufferTempConv,
             core.Dense1D]

    def pick(values):
        return values[rng.integers(len(values))]

    # Mostly values the rules accept, so that many models reach the recorders.
    def keys(kind):
        k = dict(weights_bits=int(pick([2, 4, 8, 8, 8, 8])), activation=int(pick([0, 1, 1, 1, 2])),
                 output_bits=int(pick([4, 8, 8, 8, 16, 28])))
        if kind in (core.Conv2D, core.DepthwiseConv2D):
            k.update(kernel_size=int(pick([1, 2, 3, 3, 4, 5, 7])), kernel_stride=int(pick([1, 1, 1, 2])),
                     padding=int(pick([0, 1, 1, 1, 2])), pool_type=int(pick([0, 0, 0, 1, 2])),
                     pool_size=int(pick([-1, 1, 2, 3])))
        if kind in (core.Conv2DTranspose, core.DepthwiseConv2DTranspose):
            k.update(kernel_size=int(pick([3, 4, 5])))
        if kind in (core.BufferTempConv, core.DepthwiseBufferTempConv):
            k.update(fifo_size=int(rng.integers(1, 15)))
        if kind in (core.Conv2D, core.Conv2DTranspose, core.BufferTempConv):
            k.update(filters=int(rng.integers(1, 40)))
        if kind == core.Dense1D:
            k.update(units=int(rng.integers(1, 20)))
        return k

    def randomise(model):
        for item in model.layers:
            variables = item.variables
            if variables is None:
                continue
            for name in variables.names:
                value = variables[name]
                if value.dtype.kind not in "iu":
                    continue
                info = np.iinfo(value.dtype)
                low, high = (max(info.min, -8), min(info.max, 8)) if name == "weights" else (0, 7)
                try:
                    variables[name] = rng.integers(low, high + 1, value.shape).astype(value.dtype)
                except (ValueError, RuntimeError):
                    pass

    start, rounds = time.monotonic(), 0
    while rounds < {rounds} and time.monotonic() - start < {seconds}:
        rounds += 1
        model = core.Model()
        model.add(layer(core.InputData, "in", input_width=int(rng.integers(1, 40)),
                        input_height=int(rng.integers(1, 40)),
                        input_channels=int(rng.integers(1, 16)), input_bits=int(pick([4, 8, 8]))))
        for i in range(int(rng.integers(1, 5))):
            kind = pick(KINDS)
            try:
                model.add(layer(kind, "l%d" % i, **keys(kind)))
            except (ValueError, RuntimeError):
                pass
        randomise(model)
        try:
            model._map(v2_device(), hw_only=bool(rng.integers(2)))
            for sequence in model.sequences:
                if sequence.program is not None:
                    core.get_program_memory_infos(sequence.program)
        except (RuntimeError, ValueError, IndexError, TypeError):
            pass
    print(rounds)
""")


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_v2_models_map_or_raise(seed):
    tests = os.path.dirname(os.path.abspath(__file__))
    code = CHILD.format(tests=tests, seed=seed, rounds=ROUNDS, seconds=SECONDS)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120, cwd=tests)
    assert result.returncode == 0, result.stderr[-2000:]
    assert int(result.stdout.split()[-1]) > 0
