"""Runs every bench/bench_*.py in turn, each in its own interpreter pinned to one core
(taskset, when the machine has it; each script also pins itself); the exit status is
non-zero when any of them fails."""
import os
import pathlib
import shutil
import subprocess
import sys


def main():
    here = pathlib.Path(__file__).resolve().parent
    scripts = sorted(here.glob("bench_*.py"))
    failed = []
    # NumPy's BLAS threads spin between calls and take cores from what is being measured;
    # the module itself runs on the calling thread.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    core = str(sorted(os.sched_getaffinity(0))[-1])
    pinned = ["taskset", "-c", core] if shutil.which("taskset") else []
    for script in scripts:
        print(f"== {script.name}", flush=True)
        if subprocess.run(pinned + [sys.executable, str(script)], env=env).returncode != 0:
            failed.append(script.name)
    if failed:
        print("failed: " + ", ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
