"""Benchmark runner.

    python3 benchmarks/run.py [--repeat N] [workload ...]

Discovers benchmarks/bench_*.py; each defines WORKLOADS = {name: fn}, where
fn() performs one run and returns None or a dict of extra figures. The keys
"events", "trees" and "nodes" are turned into rates per second; any other key
is printed as it is. Each workload runs in a fresh child process so that its
peak memory (max RSS) is its own.
"""
import argparse
import importlib.util
import json
import pathlib
import statistics
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
RATE_KEYS = {"events": "events/s", "trees": "trees/s", "nodes": "nodes/s", "files": "files/s"}


def discover():
    workloads = {}
    for path in sorted(HERE.glob("bench_*.py")):
        loader_spec = importlib.util.spec_from_file_location(path.stem, path)
        module = importlib.util.module_from_spec(loader_spec)
        loader_spec.loader.exec_module(module)
        for name, fn in module.WORKLOADS.items():
            workloads[name] = fn
    return workloads


def measure(name, repeat):
    import resource

    fn = discover()[name]
    times, extra = [], {}
    for _ in range(repeat):
        start = time.perf_counter()
        extra = fn() or {}
        times.append(time.perf_counter() - start)
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return {"times": times, "extra": extra, "peak_mib": peak_kib / 1024}


def report(name, result):
    median = statistics.median(result["times"])
    parts = [f"{name:24s} median {median:8.4f} s (min {min(result['times']):.4f}, n={len(result['times'])})"]
    for key, value in result["extra"].items():
        if key in RATE_KEYS and isinstance(value, (int, float)):
            parts.append(f"{key} {value:,} ({value / median:,.0f} {RATE_KEYS[key]})")
        else:
            parts.append(f"{key} {value}")
    parts.append(f"peak RSS {result['peak_mib']:.1f} MiB")
    print("  ".join(parts), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("workloads", nargs="*")
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.child, args.repeat)))
        return
    available = discover()
    names = args.workloads or list(available)
    for name in names:
        if name not in available:
            sys.exit(f"unknown workload {name!r}; known: {', '.join(available)}")
        out = subprocess.run(
            [sys.executable, __file__, "--child", name, "--repeat", str(args.repeat)],
            check=True, capture_output=True, text=True,
        ).stdout
        report(name, json.loads(out.strip().splitlines()[-1]))


if __name__ == "__main__":
    main()
