"""Seeded fuzzing of mapping with hostile settings: v1, v2 and Mote devices whose meshes are
empty, hold only skip DMAs, sit at the largest identifiers or are random; random constraint
limits; select_nps hooks that reverse, shorten or shuffle their candidates; random models of
every generation. Each child process must end with mappings or Python exceptions, never a
crash, and is bounded by a count and a few seconds."""
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
    from map_models import NP, fuzz_variables, layer

    rng = np.random.default_rng({seed})
    ALL_TYPES = [NP.CNP1, NP.CNP2, NP.FNP2, NP.FNP3, NP.TNP_B, NP.TNP_R, NP.HRC]
    FAILURES = (RuntimeError, ValueError, IndexError, TypeError)

    def pick(values):
        return values[rng.integers(len(values))]

    def ident(limit=256):
        return NP.Ident(*(int(v) for v in rng.integers(0, limit, 3)))

    def mesh(ip):
        kind = pick(["usual", "empty", "skip_dmas_only", "largest", "random"])
        nps, dmas = [], []
        if kind == "usual" and ip == core.v1:
            nps = [NP.Info(NP.Ident(1, 2, 0), [NP.CNP1], True), NP.Info(NP.Ident(2, 1, 0), [NP.CNP1], True),
                   NP.Info(NP.Ident(2, 2, 0), [NP.CNP1, NP.FNP3], True)]
        elif kind == "usual" and ip == core.mote:
            nps = [NP.Info(NP.Ident(0, 0, 0), [NP.TNP_R], False)]
        elif kind == "usual":
            nps = [NP.Info(NP.Ident(c, r, i), [NP.CNP1, NP.CNP2, NP.TNP_B], True)
                   for c in (1, 2) for r in (1, 2) for i in range(2)]
            nps.append(NP.Info(NP.Ident(3, 1, 0), [pick([NP.FNP2, NP.FNP3])], True))
        elif kind == "largest":
            nps = [NP.Info(NP.Ident(255, 255, 255), [NP.CNP1, NP.FNP3, NP.TNP_B, NP.FNP2], True),
                   NP.Info(NP.Ident(254, 255, 3), [NP.CNP1, NP.CNP2], bool(rng.integers(2)))]
        elif kind == "random":
            nps = [NP.Info(ident(), list({{pick(ALL_TYPES) for _ in range(int(rng.integers(0, 4)))}}),
                           bool(rng.integers(2))) for _ in range(int(rng.integers(0, 12)))]
        if kind != "empty" and rng.integers(2):
            for _ in range(int(rng.integers(1, 4))):
                dma = ident()
                dma.channel = int(pick([0, 1, 4, 255]))
                dmas.append(NP.Info(dma, [NP.SKIP_DMA_STORE, NP.SKIP_DMA_LOAD], False))
        hrc = pick([None, NP.Info.hrc(False), NP.Info.hrc(True)])
        return NP.Mesh(ip, ident(3), ident(3), hrc, nps, dmas)

    def device():
        product, ip = pick([(0x00, core.v1), (0xA1, core.v1), (0xA2, core.v2), (0xB1, core.mote)])
        version = core.HwVersion(int(pick([0x4B, 1, 0])), product, int(rng.integers(0, 3)), 0)
        return core.Device(version, mesh(ip)), ip

    def keys(kind):
        k = {{}}
        if kind in (core.Convolutional, core.SeparableConvolutional):
            k.update(kernel_width=int(pick([1, 3, 5])), kernel_height=int(pick([1, 3, 5])),
                     stride_x=int(pick([1, 1, 2])), stride_y=int(pick([1, 1, 2])),
                     pooling_type=int(pick([0, 0, 1, 2])), pooling_width=int(pick([-1, 2])),
                     pooling_height=int(pick([-1, 2])), padding=int(pick([0, 1])),
                     weights_bits=int(pick([1, 2, 4])), activations_bits=int(pick([1, 2, 4])),
                     filters=int(rng.integers(1, 64)))
        elif kind == core.FullyConnected:
            k.update(units=int(rng.integers(1, 64)), weights_bits=int(pick([1, 2, 4])))
        elif kind in (core.Conv2D, core.DepthwiseConv2D):
            k.update(kernel_size=int(pick([1, 3, 5])), kernel_stride=int(pick([1, 1, 2])),
                     padding=int(pick([1, 1, 2])), pool_type=int(pick([0, 1, 2])),
                     pool_size=int(pick([-1, 2])))
        elif kind in (core.Conv2DTranspose, core.DepthwiseConv2DTranspose):
            k.update(kernel_size=int(pick([3, 4])))
        elif kind in (core.BufferTempConv, core.DepthwiseBufferTempConv):
            k.update(fifo_size=int(rng.integers(1, 13)))
        elif kind == core.Dense1D:
            k.update(units=int(rng.integers(1, 64)))
        if kind in (core.Conv2D, core.Conv2DTranspose, core.BufferTempConv):
            k.update(filters=int(rng.integers(1, 64)))
        return k

    def add(model, kind, name, **given):
        try:
            model.add(layer(kind, name, **given))
        except FAILURES:
            pass

    def model_for(ip):
        model = core.Model()
        generation = pick(["v1", "v2", "mote"]) if rng.integers(4) == 0 else ip.name
        size = dict(input_width=int(pick([1, 2, 16, 33])), input_height=int(pick([1, 2, 16, 33])))
        if generation == "mote":
            add(model, core.InputData, "in", input_width=1, input_height=int(pick([1, 8])),
                input_channels=int(pick([1, 32])))
            for i in range(int(rng.integers(0, 4))):
                add(model, core.StatefulRecurrent, "sr%d" % i, stateful_channels=int(pick([1, 16, 300])),
                    output_channels=int(pick([1, 8])))
            if rng.integers(2):
                add(model, core.MotePostProcessing, "post")
            return model
        v1 = generation == "v1"
        if rng.integers(2):
            add(model, core.InputConvolutional if v1 else core.InputConv2D, "in",
                input_channels=int(pick([1, 3])), filters=int(rng.integers(1, 64)),
                **(dict(kernel_width=3, kernel_height=3) if v1 else dict(kernel_size=3)), **size)
        else:
            add(model, core.InputData, "in", input_channels=int(pick([1, 3, 16])), **size)
        kinds = ([core.Convolutional, core.SeparableConvolutional, core.FullyConnected] if v1 else
                 [core.Conv2D, core.DepthwiseConv2D, core.Conv2DTranspose,
                  core.DepthwiseConv2DTranspose, core.BufferTempConv,
                  core.DepthwiseBufferTempConv, core.Dense1D])
        for i in range(int(rng.integers(0, 5))):
            kind = pick(kinds)
            add(model, kind, "l%d" % i, **keys(kind))
        return model

    class Hook(core.MapConstraints):
        def __init__(self, dev, mode):
            super().__init__(dev)
            self.mode = mode

        def select_nps(self, candidates, count, hw_type):
            candidates = list(candidates)
            if self.mode == 1:
                candidates.reverse()
            elif self.mode == 2:
                count = max(0, count - 1)
            elif self.mode == 3:
                candidates = [candidates[i] for i in rng.permutation(len(candidates))]
            return candidates[:count]

    def constraints(dev, ip):
        made = Hook(dev, int(rng.integers(4))) if rng.integers(2) else core.MapConstraints(dev)
        for limit in ("cnp_max_width", "cnp_max_height", "cnp_max_filters"):
            if rng.integers(3) == 0:
                setattr(made, limit, int(rng.integers(0, getattr(made, limit + "_default") + 1)))
        if ip == core.v2 and rng.integers(2):
            made.hwpr_loopitself = True
        return made

    start, rounds = time.monotonic(), 0
    while rounds < {rounds} and time.monotonic() - start < {seconds}:
        rounds += 1
        dev, ip = device()
        model = model_for(ip)
        fuzz_variables(model, rng)
        try:
            model._map(dev, hw_only=bool(rng.integers(2)), constraints=constraints(dev, ip))
            for sequence in model.sequences:
                if sequence.program is not None:
                    core.get_program_memory_infos(sequence.program)
                for mapped_pass in sequence.passes:
                    for item in mapped_pass.layers:
                        if item.mapping is not None:
                            [c.mem_info for c in item.mapping.nps + item.mapping.skipdma_stores]
            if model.layers:
                model.forward(np.zeros([1] + list(model.layers[0].input_dims), np.uint8))
        except FAILURES:
            pass
    print(rounds)
""")


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_hostile_mappings_map_or_raise(seed):
    assert run_fuzz_child(CHILD, seed, ROUNDS, SECONDS) > 0
