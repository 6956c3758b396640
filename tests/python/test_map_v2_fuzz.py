"""Seeded fuzzing of IP v2 mapping: random, valid-looking v2 layer parameters and variables
go through _map in child processes, which must end with a program or a Python exception,
never a crash. Each child is bounded by a count and a few seconds. A program's external
blocks (FNP2 weights) make its extra_program_memory, and the FNP2 external memory the mapping
counts is each block rounded up to 16 words from 16383 words on."""
import textwrap

import pytest

from map_models import run_fuzz_child

SECONDS = 2.0
ROUNDS = 300

CHILD = textwrap.dedent("""
    import sys, tempfile, time
    import numpy as np
    sys.path.insert(0, {tests!r})
    import morla.core as core
    from map_models import fuzz_variables, program_reader
    from test_map_v2 import NP, layer, v2_device
    from v2_layout_refs import long_padded, program_data

    reader = program_reader(tempfile.mkdtemp())

    def check_external_memory(sequence):
        data = program_data(reader, sequence.program)
        images = {{}}  # (pass, col, row, id) -> words of the external block
        for p in range(data.PassesLength()):
            for i in range(data.Passes(p).ProgramsLength()):
                block = data.Passes(p).Programs(i).External()
                if block:
                    ident = block.Ident()
                    images[(p, ident.Col(), ident.Row(), ident.Id())] = block.WordsLength()
        extra = core.get_program_memory_infos(sequence.program).extra_program_memory
        assert extra == 4 * sum(images.values()), (extra, images)
        for p, hw_pass in enumerate(sequence.passes):
            for item in hw_pass.layers:
                for c in (item.mapping.nps if item.mapping else []):
                    if c.type != NP.FNP2:
                        continue
                    image = 4 * long_padded(images[(p, c.ident.col, c.ident.row, c.ident.id)])
                    # A Dense1D that opens its pass behind a convolution is counted in the
                    # layout that convolution's NP would send: never less than the image.
                    if hw_pass.layers[0].name == item.name:
                        assert c.mem_info.external_size >= image, (c.mem_info.external_size, image)
                    else:
                        assert c.mem_info.external_size == image, (c.mem_info.external_size, image)

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
            k.update(units=int(pick([1, 7, 19, 300])))
        return k

    start, rounds = time.monotonic(), 0
    while rounds < {rounds} and time.monotonic() - start < {seconds}:
        rounds += 1
        model = core.Model()
        wide = rng.integers(4) == 0  # now and then an FNP2 image of more than 16383 words
        model.add(layer(core.InputData, "in", input_width=1 if wide else int(rng.integers(1, 40)),
                        input_height=1 if wide else int(rng.integers(1, 40)),
                        input_channels=int(rng.integers(200, 260) if wide else rng.integers(1, 16)),
                        input_bits=int(pick([4, 8, 8]))))
        for i in range(int(rng.integers(1, 5))):
            kind = pick(KINDS)
            try:
                model.add(layer(kind, "l%d" % i, **keys(kind)))
            except (ValueError, RuntimeError):
                pass
        fuzz_variables(model, rng)
        try:
            model._map(v2_device(fnp=pick([NP.FNP2, NP.FNP3])), hw_only=bool(rng.integers(2)))
        except (RuntimeError, ValueError, IndexError, TypeError):
            continue
        for sequence in model.sequences:
            if sequence.program is not None:
                check_external_memory(sequence)
    print(rounds)
""")


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_v2_models_map_or_raise(seed):
    assert run_fuzz_child(CHILD, seed, ROUNDS, SECONDS) > 0
