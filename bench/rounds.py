"""What every benchmark shares: one pinned core, cases measured round by round (each round
runs every case once, so that a change in the machine's load touches them alike), min and
median over the rounds, and the native helpers the benchmarks build (bench/mac_rate.cpp,
bench/floors.cpp) with the project's compiler and snappy."""
import ctypes
import os
import pathlib
import statistics
import subprocess
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROUNDS = 9


def pin():
    """Runs this process on one core (the last one it may use) unless it already is."""
    cores = sorted(os.sched_getaffinity(0))
    if len(cores) > 1:
        os.sched_setaffinity(0, {cores[-1]})
    return sorted(os.sched_getaffinity(0))[0]


def _calls_for(function, at_least):
    """How many calls make one timing of at least `at_least` seconds (at least one)."""
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            function()
        if time.perf_counter() - start >= at_least or calls >= 1 << 16:
            return calls
        calls *= 2


def interleave(cases, rounds=ROUNDS, at_least=3e-3):
    """{name: (min, median)} seconds per call of each callable in `cases` (a dict), every
    round timing each case once in turn, each repeated for at least `at_least` seconds after
    one call untimed (the caches left by the case before): what a steady stream of calls
    costs."""
    calls = {name: _calls_for(f, at_least) for name, f in cases.items()}
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, function in cases.items():
            n = calls[name]
            function()
            start = time.perf_counter()
            for _ in range(n):
                function()
            times[name].append((time.perf_counter() - start) / n)
    return {name: (min(t), statistics.median(t)) for name, t in times.items()}


def text(pair, scale=1e3, unit="ms", width=8, digits=3):
    return f"{pair[0] * scale:{width}.{digits}f} /{pair[1] * scale:{width}.{digits}f} {unit}"


def ratio(ours, reference):
    """ours over reference, (of the minima, of the medians)."""
    return ours[0] / reference[0], ours[1] / reference[1]


def _compiler():
    return os.environ.get("CXX", "c++")


def build(source, flags, folder):
    """Compiles bench/<source> into `folder` with `flags` (a program, a shared library with
    -shared, an object with -c); the path, or None (with a note)."""
    suffix = ".so" if "-shared" in flags else ".o" if "-c" in flags else ""
    output = os.path.join(folder, pathlib.Path(source).stem + suffix)
    built = subprocess.run([_compiler(), "-O3", "-std=c++20", str(HERE / source), "-o", output,
                            *flags], capture_output=True, text=True)
    if built.returncode != 0:
        print(f"{source} not built: " + built.stderr.strip()[:300])
        return None
    return output


def limits():
    """The core's multiply-add limits per precision in GMAC/s (bench/mac_rate.cpp): keys
    int32, int16, int8, u8s8_saturating (without VNNI) and amx_int8 where the CPU has each;
    {} when it cannot be built."""
    with tempfile.TemporaryDirectory() as folder:
        program = build("mac_rate.cpp", [], folder)
        if not program:
            return {}
        out = subprocess.run([program], capture_output=True, text=True, check=True).stdout
    values = dict(line.split("=") for line in out.split())
    return {k: float(v) for k, v in values.items() if k != "class" and v != "absent"}


# The flags that pick the module's vector paths and the bench's limit loops.
_CLASS_FLAGS = ["avx2", "fma", "pclmulqdq", "vpclmulqdq", "sse4_2", "avx512f", "avx512bw",
                "avx512_vnni", "amx_int8"]


def _cpu_flags():
    try:
        with open("/proc/cpuinfo") as info:
            return next((line.split(":", 1)[1].split() for line in info
                         if line.startswith("flags")), [])
    except OSError:
        return []


def vector_class():
    """The CPU's vector class from its flags: avx512_vnni, avx512, avx2, baseline or unknown."""
    flags = _cpu_flags()
    return ("avx512_vnni" if "avx512_vnni" in flags else
            "avx512" if "avx512f" in flags and "avx512bw" in flags else
            "avx2" if "avx2" in flags else "baseline" if flags else "unknown")


def cpu_class():
    """The CPU's vector class and the flags behind it, as the figures are labelled with, for
    instance "avx2 (avx2 fma pclmulqdq vpclmulqdq sse4_2; no avx512f ...)"."""
    flags = _cpu_flags()
    have = [f for f in _CLASS_FLAGS if f in flags]
    lacks = [f for f in _CLASS_FLAGS if f not in flags]
    return f"{vector_class()} ({' '.join(have)}" + (f"; no {' '.join(lacks)}" if lacks else "") + ")"


class Floors:
    """bench/floors.cpp loaded in this process: the floor of an operation called from Python
    (bench/floors_python.cpp, one extension module with floors.cpp) and the .fbz floors."""

    def __init__(self):
        import importlib
        import sys
        import sysconfig

        import pybind11
        self._folder = tempfile.TemporaryDirectory()
        path = build("floors_python.cpp",
                     ["-shared", "-fPIC", "-march=native", str(HERE / "floors.cpp"),
                      f"-I{pybind11.get_include()}", f"-I{sysconfig.get_paths()['include']}",
                      "-lsnappy"], self._folder.name)
        if not path:
            raise RuntimeError("bench/floors.cpp could not be built")
        sys.path.insert(0, self._folder.name)
        try:
            self._module = importlib.import_module("floors_python")
        finally:
            sys.path.remove(self._folder.name)
        lib = ctypes.CDLL(path)
        lib.fbz_load.argtypes = [ctypes.c_char_p]
        lib.fbz_save.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
        self._lib = lib

    def bound(self, inputs, output):
        """What a binding must at least do for a call with `inputs` (its array arguments) and
        a result like `output`: copy each input (the engine's own copy) and read it once, and
        write a new array holding the output's bytes (the result the binding returns). A
        callable that takes the call's arguments and is itself a pybind11 function, so that it
        costs what calling a binding costs."""
        return self._module.bound(list(inputs), output)

    def fbz_load(self, path):
        if self._lib.fbz_load(os.fsencode(path)) != 0:
            raise RuntimeError(f"fbz_load floor failed on {path}")

    def fbz_save(self, path, data):
        if self._lib.fbz_save(os.fsencode(path), data, len(data)) != 0:
            raise RuntimeError(f"fbz_save floor failed on {path}")
