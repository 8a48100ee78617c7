#!/usr/bin/python3
# Our readers against every peer on the ReaderBench files, in one table: file, our median, the
# fastest peer and its median, the ratio (ours / fastest; below 1 we are faster).
#
# Rounds alternate the two programs (reader_bench, then Pillow's reader_pillow.py, and the other
# way round on the next round); each round times every side once, and the medians are taken
# over the rounds. Times are processor times. Pillow runs with glibc's allocator set up as
# BenchSupport sets it up for the benchmark (no mmap for large blocks, no trimming).
#   /usr/bin/python3 bench/bench_peers.py build-bench/bench/reader_bench bench/data/readers \
#       [rounds] [pillow script]
# The Pillow script (reader_pillow.py unless named) prints {file: milliseconds} for the folder;
# tiff_bench runs with tiff_pillow.py.
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def run_benchmark(binary):
    out = subprocess.run([binary, "--benchmark_format=json", "--benchmark_min_time=0.5"],
                         check=True, capture_output=True, text=True).stdout
    times = {}
    for entry in json.loads(out)["benchmarks"]:
        if entry.get("error_occurred"):
            sys.exit("%s: %s" % (entry["name"], entry.get("error_message", "failed")))
        side, name = entry["name"].split("/", 1)
        assert entry["time_unit"] == "ms"
        times[(side, name)] = entry["cpu_time"]
    return times


def run_pillow(folder, script):
    env = dict(os.environ, MALLOC_MMAP_MAX_="0", MALLOC_TRIM_THRESHOLD_=str(1 << 30))
    out = subprocess.run(["/usr/bin/python3", os.path.join(HERE, script), folder],
                         check=True, capture_output=True, text=True, env=env).stdout
    return {("Pillow", name): ms for name, ms in json.loads(out).items()}


def main():
    binary, folder = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    script = sys.argv[4] if len(sys.argv) > 4 else "reader_pillow.py"
    samples = {}
    for r in range(rounds):
        steps = [lambda: run_benchmark(binary), lambda: run_pillow(folder, script)]
        for step in steps if r % 2 == 0 else reversed(steps):
            for key, ms in step().items():
                samples.setdefault(key, []).append(ms)
        print("round %d of %d done" % (r + 1, rounds), file=sys.stderr)
    medians = {key: statistics.median(values) for key, values in samples.items()}
    files = sorted({name for side, name in medians if side == "Ours"})
    print("| file | ours (ms) | fastest peer | peer (ms) | ours / peer |")
    print("|---|---:|---|---:|---:|")
    for name in files:
        peers = [(ms, side) for (side, n), ms in medians.items() if n == name and side != "Ours"]
        ms, side = min(peers)
        ours = medians[("Ours", name)]
        print("| %s | %.1f | %s | %.1f | %.2f |" % (name, ours, side, ms, ours / ms))
    print("\nMedians of %d rounds, processor time." % rounds)


if __name__ == "__main__":
    main()
