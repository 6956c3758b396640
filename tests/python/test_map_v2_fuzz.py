"""Seeded fuzzing of IP v2 mapping: random, valid-looking v2 layer parameters and variables
go through _map in child processes, which must end with a program or a Python exception,
never a crash. Each child is bounded by a count and a few seconds."""
import textwrap

import pytest

from map_models import run_fuzz_child

SECONDS = 2.0
ROUNDS = 300

CHILD = textwrap.dedent("""
    import sys, time
    import numpy as np
    sys.path.insert(0, {tests!r})
    import morla.core as core
    from map_models import fuzz_variables
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
        fuzz_variables(model, rng)
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
    assert run_fuzz_child(CHILD, seed, ROUNDS, SECONDS) > 0
