"""Ctrl-C during simulate_nucleotide (and the private module's simulate_genomes)
and during simulate_and_write's writing:
the call stops within a second with KeyboardInterrupt, and the module answers
the next call as if nothing had happened."""
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import vornix_core as vc
from writer_reference import expected_files

# Inversions of single nucleotides keep a genome of 1000 segments busy for
# about a million years of events: a call that never ends by itself.
RUNAWAY_NUCLEOTIDE = dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1e9, 1e9], extant_leaf=[False, True, True], root=0,
                          inversion=1.0, loss=0.0, duplication=0.0, transfer=0.0, transposition=0.0, origination=0.0,
                          root_length=1, extension=0.0, initial_size=1000, seed=1, replacement=0.0,
                          distance_decay=-1.0, allow_self=False)
SMALL_NUCLEOTIDE = dict(RUNAWAY_NUCLEOTIDE, time=[0.0, 2.0, 2.0], loss=0.05, duplication=0.05, transfer=0.05,
                        transposition=0.05, extension=0.7, root_length=50, initial_size=3, seed=9)


def writer_kwargs(outdir, families):
    """A quick simulation of `families` founding families with no events, then
    three files per family to write: the writing dominates."""
    return dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0], extant_leaf=[False, True, True], root=0,
                names=["r", "A", "B"], duplication=0.0, transfer=0.0, loss=0.0, origination=0.0,
                initial_size=families, cap=-1, seed=2, replacement=0.0, distance_decay=-1.0, allow_self=False,
                total_age=1.0, outdir=str(outdir))


def wait_for_file(directory, timeout=60.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if directory.is_dir() and any(directory.iterdir()):
            return True
        time.sleep(0.01)
    return False


CHILD = """
import sys, vornix_core as vc
kind, arg = sys.argv[1], sys.argv[2]
print("started", flush=True)
if kind == "nucleotide":
    vc.simulate_nucleotide(**{RUNAWAY!r})
else:
    vc.simulate_and_write(**{WRITE!r}(arg))
print("returned", flush=True)
"""


def interrupt_child(kind, tmp_path):
    """Runs a long call in a child process, sends SIGINT once it is under way
    and returns (seconds from SIGINT to exit, exit code, stderr)."""
    script = CHILD.replace("{RUNAWAY!r}", repr(RUNAWAY_NUCLEOTIDE)).replace(
        "{WRITE!r}(arg)", repr(writer_kwargs("OUT", 100_000)).replace("'OUT'", "arg"))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    outdir = tmp_path / "out"
    child = subprocess.Popen([sys.executable, "-c", script, kind, str(outdir)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=env, text=True)
    try:
        assert child.stdout.readline() == "started\n"
        if kind == "nucleotide":
            time.sleep(0.3)
        else:
            assert wait_for_file(outdir / "gene_family_events"), "the writing never started"
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        child.wait(timeout=10)
        took = time.monotonic() - sent
        return took, child.returncode, child.stderr.read()
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()
        child.stderr.close()


@pytest.mark.parametrize("kind", ["nucleotide", "write"])
def test_sigint_stops_a_long_call_within_a_second(tmp_path, kind):
    took, code, stderr = interrupt_child(kind, tmp_path)
    assert stderr.rstrip().endswith("KeyboardInterrupt"), stderr
    assert code != 0
    assert took < 1.0, took
    if kind == "write":
        # Stopped early: only part of the 100,000 families' files are there.
        assert len(list((tmp_path / "out" / "gene_family_events").iterdir())) < 100_000
        assert not (tmp_path / "out" / "Profiles.tsv").exists()


class SigintFromOutside:
    """Has a helper process send SIGINT to this process after `delay` seconds,
    once `directory` (if given) holds a file. The calls hold the interpreter
    lock throughout, so a thread of this process could not do it."""

    def __init__(self, delay, directory=None):
        wait = f'until [ -n "$(ls -A {directory} 2>/dev/null)" ]; do sleep 0.01; done; ' if directory else ""
        self.script = f"{wait}sleep {delay}; kill -INT {os.getpid()}"

    def __enter__(self):
        self.previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        self.helper = subprocess.Popen(["sh", "-c", self.script])
        return self

    def __exit__(self, *exc):
        if self.helper.poll() is None:
            self.helper.kill()
        self.helper.wait()
        signal.signal(signal.SIGINT, self.previous)
        return False


def test_after_an_interrupted_nucleotide_call_the_next_answers_correctly():
    before = vc.simulate_nucleotide(**SMALL_NUCLEOTIDE)
    with pytest.raises(KeyboardInterrupt), SigintFromOutside(0.2):
        vc.simulate_nucleotide(**RUNAWAY_NUCLEOTIDE)
    assert vc.simulate_nucleotide(**SMALL_NUCLEOTIDE) == before


def test_after_an_interrupted_write_the_pool_writes_the_next_directory_whole(tmp_path):
    interrupted = tmp_path / "interrupted"
    with pytest.raises(KeyboardInterrupt), SigintFromOutside(0.0, interrupted / "gene_family_events"):
        vc.simulate_and_write(**writer_kwargs(interrupted, 100_000))
    kw = dict(writer_kwargs(tmp_path / "next", 40), duplication=0.5, loss=0.3, transfer=0.4, time=[0.0, 2.0, 2.0],
              total_age=2.0)
    assert vc.simulate_and_write(**kw)[0] == 40
    records, extant = vc.simulate_log(**{k: v for k, v in kw.items() if k not in ("names", "total_age", "outdir")})
    want = expected_files(records, extant, kw["names"], 2.0)
    root = pathlib.Path(kw["outdir"])
    got = {str(p.relative_to(root)): p.read_text() for p in root.rglob("*") if p.is_file()}
    assert got == want


def test_the_front_ends_genome_simulation_stops_on_sigint_and_answers_the_next_call():
    from vornix import _native
    before = _native.simulate_genomes(**SMALL_NUCLEOTIDE)
    with pytest.raises(KeyboardInterrupt), SigintFromOutside(0.2):
        _native.simulate_genomes(**RUNAWAY_NUCLEOTIDE)
    assert _native.simulate_genomes(**SMALL_NUCLEOTIDE) == before
