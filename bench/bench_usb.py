"""Throughput of 1 MiB written and read through the USB driver against the board
simulator, beside what the same kind of pseudo-terminal allows: the protocol's strict
request/reply ping-pong with exactly its byte counts, its peer a process of its own (the
limit of any driver of this protocol; target: ratio >= 0.9), and one-way streaming (for
information: no request/reply protocol can reach it). Also the processor time of the
driver's thread, which the machine's load stretches less than the waits. Each figure:
min / median of nine rounds, the measurements interleaved round by round
(tests/sim/programs/usb_throughput.cpp)."""
import os
import pathlib
import subprocess
import sys


def build_dir():
    return pathlib.Path(os.environ.get("MORLA_BUILD_DIR", "build/release"))


def mib_per_s(ms):
    return 1000.0 / ms  # 1 MiB moved


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
        times = {k: [float(v) for v in fields[k].split("/")] for k in
                 ("driver_ms", "pingpong_ms", "stream_ms")}
        text = "  ".join(f"{name} {t[0]:7.2f} /{t[1]:7.2f} ms ({mib_per_s(t[1]):5.1f} MiB/s)"
                         for name, t in (("driver", times["driver_ms"]),
                                         ("ping-pong", times["pingpong_ms"]),
                                         ("stream", times["stream_ms"])))
        stream_ratio = times["stream_ms"][1] / times["driver_ms"][1]
        cpu = [float(v) for v in fields["driver_cpu_ms"].split("/")]
        print(f"usb {line.split()[0]:5} 1 MiB: {text}  driver vs ping-pong "
              f"{float(fields['ratio']):.3f}, vs stream {stream_ratio:.3f}; driver thread's "
              f"processor time {cpu[0]:.2f} / {cpu[1]:.2f} ms")
    return out.returncode if lines else 1


if __name__ == "__main__":
    sys.exit(main())
