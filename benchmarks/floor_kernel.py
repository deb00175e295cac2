"""The floor kernel: the same forward process on the same tree with the least
work an event needs (shared/benchmarks/floor/). It is built once per checkout
into build/floor/ and fed the tree through its own make_input.py.

The kernel times itself (wall clock, events only); its CPU time is taken from
the child's resource usage, which adds only the reading of its input.
"""
import pathlib
import re
import resource
import shutil
import subprocess
import sys

from common import SHARED

SOURCE = SHARED / "floor" / "floor.cpp"
MAKE_INPUT = SHARED / "floor" / "make_input.py"
BUILD = pathlib.Path(__file__).resolve().parent.parent / "build" / "floor"


def _binary():
    """Path of the built kernel, or a reason why there is none."""
    if not SOURCE.is_file():
        return None, f"floor kernel source not found at {SOURCE}"
    compiler = shutil.which("g++") or shutil.which("c++")
    if compiler is None:
        return None, "no C++ compiler to build the floor kernel"
    exe = BUILD / "floor"
    if not exe.exists() or exe.stat().st_mtime < SOURCE.stat().st_mtime:
        BUILD.mkdir(parents=True, exist_ok=True)
        # The build line given in the kernel's own file head.
        subprocess.run([compiler, "-O2", "-std=c++17", "-o", str(exe), str(SOURCE)], check=True)
    return exe, None


class Floor:
    """One input for the kernel, run as often as asked."""

    def __init__(self, tree_file, initial_size):
        self.exe, self.missing = _binary()
        self.input = None
        if self.exe is not None:
            self.input = subprocess.run(
                [sys.executable, str(MAKE_INPUT), str(SHARED / tree_file), str(initial_size)],
                check=True, capture_output=True, text=True).stdout

    def run(self):
        """(events, wall ns per event as the kernel reports it, CPU ns per event)."""
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        out = subprocess.run([str(self.exe)], input=self.input, check=True, capture_output=True, text=True).stdout
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        match = re.match(r"(\d+) events ([\d.]+) s ([\d.]+) ns/event", out)
        events = int(match.group(1))
        cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
        return events, float(match.group(3)), cpu * 1e9 / events
