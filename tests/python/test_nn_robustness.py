"""Random shapes, element types, memory orders and sizes thrown at every nn function: each
call returns an array or raises a Python exception, and never brings the process down. The
calls run in a child interpreter, so a crash fails the test instead of killing pytest."""
import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import sys
    import numpy as np
    from morla import core

    nn, P = core.nn, core.Padding
    rng = np.random.default_rng(int(sys.argv[1]))
    DTYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.int64, np.float32,
              np.float64, np.bool_]

    def coherent_shapes():
        # Shapes that fit together for most operations, so that calls also get past the checks.
        X, Y, C, F, D, K, N = (int(v) for v in rng.integers(1, 5, 7))
        kx, ky = int(rng.integers(1, X + 1)), int(rng.integers(1, Y + 1))
        return [(X, Y, C), (C,), (kx, ky, C, F), (kx, ky, C), (X, Y, D, C), (1, 1, D, C),
                (X, Y, K), (K, N), (X, K, N), (X, N, K), (N, K), (Y, C), (1, Y, C), (X, Y, 1, C),
                (X * Y * C,)]

    shapes = coherent_shapes()

    def array():
        if rng.random() < 0.6:
            shape = shapes[int(rng.integers(len(shapes)))]
        else:
            rank = int(rng.integers(0, 6))
            shape = tuple(int(v) for v in rng.integers(0 if rng.random() < 0.1 else 1, 5, rank))
        dtype = DTYPES[int(rng.integers(len(DTYPES)))]
        if np.issubdtype(dtype, np.floating):
            values = rng.normal(0, 300, shape).astype(dtype)
        elif dtype == np.bool_:
            values = rng.random(shape) < 0.5
        else:
            info = np.iinfo(dtype)
            values = rng.integers(max(info.min, -2**40), min(info.max, 2**40), shape, dtype=dtype,
                                  endpoint=True)
        kind = rng.random()
        if kind < 0.15 and values.ndim >= 2:
            values = values.T
        elif kind < 0.3 and values.ndim >= 1:
            values = np.repeat(values, 2, axis=0)[::2]
        elif kind < 0.35:
            values = values.tolist()
        return values

    def integer(extremes=(-5, 0, 33, 64, 127, 128, 200, 255, 256, -129, 2**31)):
        if rng.random() < 0.7:
            return int(rng.choice((1, 2, 3, 8, 16, 32)))
        return int(rng.choice(extremes))

    def padding():
        return [P.Valid, P.Same, P.SameUpper][int(rng.integers(3))]

    CALLS = {
        "lshift": lambda: nn.lshift(array(), array(), integer()),
        "shift": lambda: nn.shift(array(), array(), integer()),
        "shift_out": lambda: nn.shift_out(array(), array(), integer()),
        "matmul": lambda: nn.matmul(array(), array(), integer(), bool(rng.integers(2))),
        "add": lambda: nn.add(array(), array(), integer()),
        "concatenate": lambda: nn.concatenate(array(), array()),
        "scale_out": lambda: nn.scale_out(array(), np.asarray(array()), array(), integer(), integer()),
        "conv2d": lambda: nn.conv2d(array(), array(), integer(), padding(), integer()),
        "input_conv2d": lambda: nn.input_conv2d(array(), array(), integer(), padding(), array(),
                                                integer()),
        "conv2d_transpose": lambda: nn.conv2d_transpose(array(), array(), integer((0, 1, 2, 3, 255))),
        "dequantize": lambda: nn.dequantize(array(), array()),
        "depthwise_conv2d": lambda: nn.depthwise_conv2d(array(), array(), integer()),
        "relu_activation": lambda: nn.relu_activation(array(), array()),
        "look_up": lambda: nn.look_up(array(), array()),
        "global_average_pooling": lambda: nn.global_average_pooling(array(), integer()),
        "max_pooling": lambda: nn.max_pooling(array(), integer(), integer(), integer(), integer(),
                                              padding(), integer()),
        "fifo_op": lambda: nn.fifo_op(array(), array()),
        "depth_conv_like_op": lambda: nn.depth_conv_like_op(array(), array(), integer()),
        "stateful_main_op": lambda: nn.stateful_main_op(array(), array(), array(), array(), array(),
                                                        array(), integer(), integer()),
        "subsampling_op": lambda: nn.subsampling_op(array(), integer()),
        "motepostprocessing_op": lambda: nn.motepostprocessing_op(array(), array(), array(),
                                                                  integer(), bool(rng.integers(2))),
    }
    assert len(CALLS) == 21
    results = {name: [0, 0] for name in CALLS}
    for _ in range(int(sys.argv[2])):
        shapes = coherent_shapes()
        for name, call in CALLS.items():
            try:
                out = call()
                for item in (out if isinstance(out, tuple) else (out,)):
                    assert isinstance(item, np.ndarray)
                results[name][0] += 1
            except (TypeError, ValueError, RuntimeError, IndexError, MemoryError):
                results[name][1] += 1
    print(results)
    # The arguments must also reach the operations, not only the refusals.
    assert sum(ok for ok, _ in results.values()) > len(results) * int(sys.argv[2]) // 20
""")


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_arguments_never_crash(seed, tmp_path):
    script = tmp_path / "fuzz.py"
    script.write_text(SCRIPT)
    run = subprocess.run([sys.executable, str(script), str(seed), "150"], capture_output=True,
                         text=True, timeout=120, env=dict(os.environ))
    assert run.returncode == 0, run.stderr[-3000:]
    assert "{" in run.stdout
