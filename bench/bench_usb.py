"""Throughput of 1 MiB written and read through the USB driver against the board
simulator, beside the raw throughput of the same kind of pseudo-terminal without
the protocol. Prints both timings and their ratio (target: ratio >= 0.8)."""
import os
import pathlib
import subprocess
import sys


def build_dir():
    return pathlib.Path(os.environ.get("MORLA_BUILD_DIR", "build/release"))


def main():
    program = build_dir() / "usb_throughput"
    if not program.exists():
        print(f"bench_usb: {program} not built", file=sys.stderr)
        return 1
    out = subprocess.run([str(program)], capture_output=True, text=True, timeout=300,
                         env={k: v for k, v in os.environ.items() if k != "NO_USB"})
    lines = [line for line in out.stdout.splitlines() if "ratio=" in line]
    for line in lines:
        fields = dict(item.split("=") for item in line.split()[1:])
        print(f"usb {line.split()[0]:5} 1 MiB: driver {float(fields['driver_ms']):8.2f} ms"
              f"  raw pty {float(fields['raw_ms']):8.2f} ms  ratio {float(fields['ratio']):.3f}")
    return out.returncode if lines else 1


if __name__ == "__main__":
    sys.exit(main())
