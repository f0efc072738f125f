"""Benchmark of the vireo Python module: events per second from a recording into numpy arrays
next to the C++ reader on the same file, and the cost of a camera callback's round trip into
Python. Figures only; nothing is asserted.

    PYTHONPATH=build/python /usr/bin/python3 python/bench/bench_python.py [--build build] [--mb 256]

The recording (a busy sensor's mix of vector rows and single pixels) is made once by the C++
helper build/bench/bench_python_reader in build/bench-scratch and kept for later runs.
"""
import argparse
import os
import pathlib
import subprocess
import time

import vireo


def cpp_rate(helper, mode, path, size, runs):
    out = subprocess.run([helper, mode, str(path), str(size), str(runs)], check=True, capture_output=True, text=True)
    events, seconds, _ = out.stdout.split()
    return int(events), float(seconds)


def python_rate(path, mode, size, runs):
    vireo.set_log_level(vireo.LOG_ERROR)
    reader = vireo.open_reader(str(path))
    best, events = float("inf"), 0
    for _ in range(runs):
        events = 0
        begin = time.perf_counter()
        windows = reader.windows(count=size) if mode == "count" else reader.windows(duration=size)
        for window in windows:
            events += len(window)
        best = min(best, time.perf_counter() - begin)
    reader.close()
    return events, best


def callback_cost(calls, events):
    seen = [0]

    def callback(array):
        seen[0] += len(array)

    seconds = vireo._vireo._bench.callback_round_trip(callback, calls, events)
    assert seen[0] == calls * events
    return seconds / calls


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="the build folder (holds bench/bench_python_reader)")
    parser.add_argument("--mb", type=int, default=256, help="size of the generated recording in MiB")
    parser.add_argument("--runs", type=int, default=3, help="runs per figure; the best is kept")
    args = parser.parse_args()

    build = pathlib.Path(args.build).resolve()
    helper = build / "bench" / "bench_python_reader"
    scratch = build / "bench-scratch"
    scratch.mkdir(parents=True, exist_ok=True)
    path = scratch / f"bench_python_{args.mb}m.raw"
    if not path.exists() or path.stat().st_size < args.mb << 20:
        subprocess.run([helper, "make", str(path), str(args.mb)], check=True)
        vireo.open_reader(str(path)).close()  # builds and saves the index once

    print(f"recording {path.name}: {path.stat().st_size / 2**20:.0f} MiB")
    print(f"{'reads':<24}{'events':>12}{'C++ Mev/s':>12}{'numpy Mev/s':>13}{'ratio':>8}")
    for mode, size in (("count", 100_000), ("count", 1_000_000), ("count", 10_000_000),
                       ("duration", 1_000), ("duration", 10_000), ("duration", 100_000)):
        cpp_events, cpp_seconds = cpp_rate(helper, mode, path, size, args.runs)
        py_events, py_seconds = python_rate(path, mode, size, args.runs)
        if cpp_events != py_events:
            raise SystemExit(f"the C++ reader read {cpp_events} events, Python {py_events}")
        cpp, py = cpp_events / cpp_seconds / 1e6, py_events / py_seconds / 1e6
        unit = "events" if mode == "count" else "µs"
        print(f"{f'{mode} {size:,} {unit}':<24}{py_events:>12,}{cpp:>12.1f}{py:>13.1f}{py / cpp:>8.0%}")

    print()
    print(f"{'callback round trip':<24}{'µs per call':>12}{'Mev/s':>12}")
    for events in (1, 1_000, 100_000):
        calls = max(200, 2_000_000 // max(events, 1000) if events > 1 else 100_000)
        per_call = callback_cost(calls, events)
        print(f"{f'{events:,} events per call':<24}{per_call * 1e6:>12.2f}{events / per_call / 1e6:>12.1f}")


if __name__ == "__main__":
    os.nice(5)
    main()
