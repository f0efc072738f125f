#!/usr/bin/python3
"""Compares the clustering library with the usual references on the same points.

Runs bench_basics for DBSCAN, KMeans and OpenCV's cv::kmeans (which the benchmark runs on the
same points, in the same process), times scikit-learn's DBSCAN on the points bench_basics
dumps, and prints the time of each and the speed ratios (reference time / our time: above 1
means we are faster). Single-threaded runs are compared by CPU time, which stays steady on a
busy machine; runs on several threads by wall time.

    /usr/bin/python3 bench/basics/compare_reference.py [path/to/bench_basics] [--sizes 10000,100000]

Needs numpy and scikit-learn (Debian: apt-get install python3-sklearn).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time


def run_benchmarks(binary, sizes):
    size_pattern = "|".join(str(n) for n in sizes)
    pattern = "BM_(DBSCAN|KMeans|CvKMeans)<[23]>/(%s)(/|$)" % size_pattern
    out = subprocess.run(
        [binary, "--benchmark_filter=" + pattern, "--benchmark_format=json",
         "--benchmark_min_time=0.5"],
        check=True, capture_output=True, text=True).stdout
    results = {}
    for entry in json.loads(out)["benchmarks"]:
        scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[entry.get("time_unit", "ns")]
        # Milliseconds per run: CPU time of the calling thread (the whole work of a
        # single-threaded run, and steady on a busy machine) and wall time (for runs on
        # several threads).
        results[entry["name"]] = (entry["cpu_time"] * scale, entry["real_time"] * scale)
    return results


def time_sklearn(points, eps, min_pts):
    from sklearn.cluster import DBSCAN
    repeats = 3 if len(points) <= 100000 else 1
    best = float("inf")
    labels = None
    for _ in range(repeats):
        start = time.process_time()
        labels = DBSCAN(eps=eps, min_samples=min_pts, algorithm="kd_tree", n_jobs=1).fit(points).labels_
        best = min(best, time.process_time() - start)
    return best * 1e3, int(labels.max()) + 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary", nargs="?",
                        default=os.path.join("build", "bench", "bench_basics"))
    parser.add_argument("--sizes", default="10000,100000,1000000")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    try:
        import numpy as np
        import sklearn  # noqa: F401
    except ImportError:
        sys.exit("numpy and scikit-learn are needed: apt-get install python3-sklearn")

    with tempfile.TemporaryDirectory() as tmp:
        params = subprocess.run([args.binary, "--dump-points=" + tmp], check=True,
                                capture_output=True, text=True).stdout.split()
        values = dict(item.split("=") for item in params)
        ours = run_benchmarks(args.binary, sizes)
        print("%-10s %9s %10s %10s %10s %8s %8s" % (
            "DBSCAN", "points", "ours 1 ms", "ours 2 ms", "sklearn ms", "x (1)", "x (2)"))
        for dims in (2, 3):
            eps = float(values["eps_%dd" % dims])
            min_pts = int(values["min_pts"])
            for n in sizes:
                points = np.fromfile(os.path.join(tmp, "points_%dd_%d.f32" % (dims, n)),
                                     dtype=np.float32).reshape(-1, dims).astype(np.float64)
                sk_ms, _ = time_sklearn(points, eps, min_pts)
                one = ours["BM_DBSCAN<%d>/%d/1/real_time" % (dims, n)][0]
                two = ours["BM_DBSCAN<%d>/%d/2/real_time" % (dims, n)][1]
                print("%-10s %9d %10.1f %10.1f %10.1f %8.2f %8.2f" % (
                    "%d-D" % dims, n, one, two, sk_ms, sk_ms / one, sk_ms / two))
        print()
        print("%-10s %9s %10s %12s %12s %8s %8s" % (
            "KMeans", "points", "ours ms", "cv 1 thr ms", "cv all ms", "x (1)", "x (all)"))
        for dims in (2, 3):
            for n in sizes:
                mine = ours["BM_KMeans<%d>/%d/real_time" % (dims, n)][0]
                cv_one = ours["BM_CvKMeans<%d>/%d/1/real_time" % (dims, n)][0]
                cv_all = ours["BM_CvKMeans<%d>/%d/0/real_time" % (dims, n)][1]
                print("%-10s %9d %10.1f %12.1f %12.1f %8.2f %8.2f" % (
                    "%d-D" % dims, n, mine, cv_one, cv_all, cv_one / mine, cv_all / mine))


if __name__ == "__main__":
    main()
