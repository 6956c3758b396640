"""Runs every bench/bench_*.py in turn, each in its own interpreter; the exit status is
non-zero when any of them fails."""
import os
import pathlib
import subprocess
import sys


def main():
    here = pathlib.Path(__file__).resolve().parent
    scripts = sorted(here.glob("bench_*.py"))
    failed = []
    # NumPy's BLAS threads spin between calls and take cores from what is being measured;
    # the module itself runs on the calling thread.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    for script in scripts:
        print(f"== {script.name}", flush=True)
        if subprocess.run([sys.executable, str(script)], env=env).returncode != 0:
            failed.append(script.name)
    if failed:
        print("failed: " + ", ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
