"""Brings the running Python environment up to date for the project's commands.

    python3 tools/install.py requirements [--extras test]
        Installs whatever is missing of the build requirements and of the
        package's dependencies (with the named extras); installs nothing else.
    python3 tools/install.py package [--extras test]
        Builds and installs the package unless the installed copy was built
        from the current sources. Prints the build tree on standard output;
        the C++ unit tests are configured there (target cpp_tests).

The package is built without build isolation in a build tree kept per
environment (build/env-<python>-<hash of the prefix>/), so that CMake and
Ninja recompile only what changed. A stamp in the build tree records the
digest of the sources, the extras and the installed distribution's RECORD; a
run whose stamp matches skips pip altogether.
"""

from __future__ import annotations

import argparse
import fcntl
import hashlib
import importlib
import importlib.metadata as metadata
import json
import os
import subprocess
import sys
import tomllib
from collections.abc import Iterable, Iterator
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DIST_NAME = "vornix"
# Everything that goes into the installed package; the C++ unit tests are
# kept up to date by the build tool itself and need not be listed.
PACKAGE_INPUTS = ("pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "src", "python")
# Only the extension modules are built for the package; the C++ tests and
# benchmarks live in the same build tree and are built on request.
PACKAGE_TARGETS = "vornix_core;vornix_native"


def say(message: str) -> None:
    print(f"vornix: {message}", file=sys.stderr, flush=True)


def pyproject() -> dict:
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)


def build_tree() -> Path:
    """One build tree per environment, so two environments never share a CMake cache."""
    key = hashlib.sha256(sys.prefix.encode()).hexdigest()[:8]
    return ROOT / "build" / f"env-{sys.implementation.cache_tag}-{key}"


def input_files(root: Path = ROOT) -> Iterator[Path]:
    for name in PACKAGE_INPUTS:
        path = root / name
        if path.is_file():
            yield path
        elif path.is_dir():
            for sub in sorted(path.rglob("*")):
                if sub.is_file() and "__pycache__" not in sub.parts and sub.suffix != ".pyc":
                    yield sub


def sources_digest(root: Path = ROOT) -> str:
    """Digest of the names and contents of every file that goes into the package."""
    digest = hashlib.sha256()
    for path in input_files(root):
        data = path.read_bytes()
        name = path.relative_to(root).as_posix().encode()
        digest.update(b"%d:%s:%d:" % (len(name), name, len(data)))
        digest.update(data)
    return digest.hexdigest()


def installed_record() -> str | None:
    """Digest of the installed distribution's RECORD, or None when it is absent or damaged."""
    try:
        dist = metadata.distribution(DIST_NAME)
    except metadata.PackageNotFoundError:
        return None
    record = dist.read_text("RECORD")
    if record is None or not all(Path(f.locate()).exists() for f in dist.files or ()):
        return None
    return hashlib.sha256(record.encode()).hexdigest()


def pip_install(args: Iterable[str]) -> None:
    command = [sys.executable, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", *args]
    # pip's own output goes to standard error: standard output carries the build tree.
    result = subprocess.run(command, cwd=ROOT, stdout=sys.stderr)
    if result.returncode != 0:
        say(f"pip install failed (exit status {result.returncode}): {' '.join(command)}")
        sys.exit(result.returncode)


def unmet(requirements: Iterable[str], extras: Iterable[str] = ()) -> list[str]:
    """The requirements that the environment does not satisfy (self-references expanded)."""
    try:
        from packaging.requirements import Requirement
    except ImportError:  # a new environment: let pip sort them out
        return list(requirements)
    project = pyproject()["project"]
    pending = list(requirements) + [f"{DIST_NAME}[{','.join(extras)}]"] * bool(extras)
    seen: set[str] = set()
    missing: list[str] = []
    while pending:
        text = pending.pop()
        if text in seen:
            continue
        seen.add(text)
        req = Requirement(text)
        if req.marker is not None and not req.marker.evaluate({"extra": ""}):
            continue
        if req.name == DIST_NAME:
            for extra in req.extras:
                pending.extend(project.get("optional-dependencies", {}).get(extra, []))
            continue
        try:
            version = metadata.version(req.name)
        except metadata.PackageNotFoundError:
            missing.append(text)
            continue
        if not req.specifier.contains(version, prereleases=True):
            missing.append(text)
            continue
        for extra in req.extras:
            for dep in metadata.requires(req.name) or ():
                marker = Requirement(dep).marker
                if marker is not None and marker.evaluate({"extra": extra}) and not marker.evaluate({"extra": ""}):
                    pending.append(dep.split(";")[0])
    return missing


def ensure(requirements: list[str], extras: Iterable[str] = ()) -> None:
    missing = unmet(requirements, extras)
    if missing:
        say("installing " + ", ".join(sorted(missing)))
        pip_install(missing)
        importlib.invalidate_caches()


def ensure_build_requirements() -> None:
    ensure(pyproject()["build-system"]["requires"])
    # The backend adds CMake and Ninja when the machine has no suitable ones.
    from scikit_build_core.build import get_requires_for_build_wheel

    cwd = os.getcwd()
    os.chdir(ROOT)
    try:
        ensure(list(get_requires_for_build_wheel()))
    finally:
        os.chdir(cwd)


def install_package(tree: Path, extras: list[str]) -> None:
    stamp = tree / "installed.json"
    wanted = {"sources": sources_digest(), "prefix": sys.prefix}
    try:
        found = json.loads(stamp.read_text())
    except (OSError, ValueError):
        found = {}
    record = installed_record()
    if (
        all(found.get(k) == v for k, v in wanted.items())
        and set(extras) <= set(found.get("extras", ()))
        and record is not None
        and found.get("record") == record
    ):
        say("the installed package matches the sources; nothing to build")
        return
    stamp.unlink(missing_ok=True)  # an interrupted build must not look installed
    if found.get("prefix") == sys.prefix:  # keep the extras installed before, so no run undoes another's
        extras = sorted(set(extras) | set(found.get("extras", ())))
    ensure_build_requirements()
    say(f"building and installing the package (build tree {tree.relative_to(ROOT)})")
    requested = f"{ROOT}[{','.join(extras)}]" if extras else str(ROOT)
    pip_install([
        "--no-build-isolation",
        "--config-settings", f"build-dir={tree}",
        "--config-settings", "cmake.define.VORNIX_BUILD_TESTS=ON",
        "--config-settings", f"build.targets={PACKAGE_TARGETS}",
        requested,
    ])  # fmt: skip
    wanted.update(extras=sorted(extras), record=installed_record())
    stamp.write_text(json.dumps(wanted, indent=1) + "\n")


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("what", choices=("requirements", "package"))
    parser.add_argument("--extras", default="", help="comma-separated extras, e.g. test")
    args = parser.parse_args(argv)
    extras = [e for e in args.extras.split(",") if e]
    os.environ.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    if args.what == "requirements":
        ensure_build_requirements()
        ensure(list(pyproject()["project"].get("dependencies", [])), extras)
        return
    tree = build_tree()
    tree.mkdir(parents=True, exist_ok=True)
    # One install at a time per environment; opening the lock leaves the tree's files untouched.
    lock = os.open(tree / ".lock", os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(lock, fcntl.LOCK_EX)
        install_package(tree, extras)
    finally:
        os.close(lock)
    print(tree)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:  # pip has stopped too; the next run builds again
        say("interrupted")
        sys.exit(130)
