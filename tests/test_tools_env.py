"""The environment the project's commands use (tools/env.sh) and the install
helper's change detection and requirement checks (tools/install.py)."""

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

TOOLS = pathlib.Path(__file__).resolve().parent.parent / "tools"


def load_install():
    module_spec = importlib.util.spec_from_file_location("vornix_tools_install", TOOLS / "install.py")
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


install = load_install()


def base_python() -> pathlib.Path:
    """An interpreter outside any virtual environment (the one this environment was made from)."""
    for name in (f"python{sys.version_info[0]}.{sys.version_info[1]}", "python3"):
        path = pathlib.Path(sys.base_prefix) / "bin" / name
        if path.exists():
            return path
    pytest.skip("no base interpreter beside sys.base_prefix")


@pytest.fixture
def checkout(tmp_path):
    """A stand-in checkout holding only tools/env.sh, and a PATH with a chosen python3."""
    (tmp_path / "tools").mkdir()
    shutil.copy(TOOLS / "env.sh", tmp_path / "tools" / "env.sh")
    return tmp_path


def use_env(root, python, extra_env=None):
    """Runs vornix_use_env with `python` as python3 on the PATH; returns the process result."""
    bindir = root / "pybin"
    bindir.mkdir(exist_ok=True)
    link = bindir / "python3"
    if link.is_symlink():
        link.unlink()
    link.symlink_to(python)
    return run_env_sh(root, f"{bindir}:/usr/bin:/bin", extra_env)


def run_env_sh(root, path, extra_env=None):
    env = {k: v for k, v in os.environ.items() if k not in ("VIRTUAL_ENV", "CONDA_PREFIX", "PYTHONPATH")}
    env["PATH"] = path
    env.update(extra_env or {})
    script = f'source "{root}/tools/env.sh"; vornix_use_env; python3 -c "import sys; print(sys.prefix)"'
    return subprocess.run(["bash", "-c", script], env=env, capture_output=True, text=True, timeout=300)


class TestEnvironmentChoice:
    @pytest.mark.skipif(not shutil.which("bash"), reason="needs bash")
    def test_project_venv_is_created_replaced_when_broken_and_reused(self, checkout):
        venv = checkout / ".venv"
        venv.mkdir()
        (venv / "pyvenv.cfg").write_text("home = /nowhere\n")  # a venv whose interpreter is gone

        first = use_env(checkout, base_python())
        assert first.returncode == 0, first.stderr
        assert first.stdout.strip() == str(venv)
        assert first.stderr.splitlines() == [f"vornix: using the virtual environment {venv} (created now)"]

        second = use_env(checkout, base_python())
        assert second.returncode == 0, second.stderr
        assert second.stdout.strip() == str(venv)
        assert second.stderr.splitlines() == [f"vornix: using the virtual environment {venv}"]

    def test_active_environment_is_used_as_it_is(self, checkout):
        if sys.prefix == sys.base_prefix:
            pytest.skip("the suite does not run inside a virtual environment")
        # As after `source <venv>/bin/activate`: its bin/ first on the PATH.
        result = run_env_sh(checkout, f"{pathlib.Path(sys.executable).parent}:/usr/bin:/bin",
                            {"VIRTUAL_ENV": sys.prefix})
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == sys.prefix
        assert result.stderr.splitlines() == [f"vornix: using the active environment {sys.prefix}"]
        assert not (checkout / ".venv").exists()

    def test_missing_ensurepip_names_the_package_to_install(self, checkout):
        # Debian's python3 without python3-venv: importing ensurepip fails.
        fake = checkout / "no_ensurepip" / "ensurepip"
        fake.mkdir(parents=True)
        (fake / "__init__.py").write_text("raise ImportError('ensurepip is disabled')\n")
        result = use_env(checkout, base_python(), {"PYTHONPATH": str(fake.parent)})
        assert result.returncode == 2
        version = "%d.%d" % sys.version_info[:2]
        [line] = result.stderr.splitlines()
        assert f"install the package python{version}-venv" in line
        assert not (checkout / ".venv").exists()

    def test_a_venv_path_that_is_no_environment_is_left_alone(self, checkout):
        (checkout / ".venv").mkdir()
        (checkout / ".venv" / "notes.txt").write_text("mine\n")
        result = use_env(checkout, base_python())
        assert result.returncode == 2
        assert len(result.stderr.splitlines()) == 1 and "is not a virtual environment" in result.stderr
        assert (checkout / ".venv" / "notes.txt").read_text() == "mine\n"


class TestSourcesDigest:
    def test_every_change_to_a_package_input_is_seen_and_nothing_else(self, tmp_path):
        (tmp_path / "src" / "model").mkdir(parents=True)
        (tmp_path / "python" / "vornix").mkdir(parents=True)
        (tmp_path / "pyproject.toml").write_text("[project]\n")
        (tmp_path / "src" / "model" / "a.cpp").write_text("int a;\n")
        (tmp_path / "python" / "vornix" / "__init__.py").write_text("")
        seen = {install.sources_digest(tmp_path)}

        def changed() -> bool:
            digest = install.sources_digest(tmp_path)
            new = digest not in seen
            seen.add(digest)
            return new

        (tmp_path / "src" / "model" / "a.cpp").write_text("int b;\n")
        assert changed()
        (tmp_path / "src" / "model" / "a.cpp").rename(tmp_path / "src" / "model" / "b.cpp")
        assert changed()
        (tmp_path / "src" / "new.h").write_text("")
        assert changed()
        (tmp_path / "CMakeLists.txt").write_text("project(x)\n")
        assert changed()
        # Moving bytes between a file's name and its contents is a change too.
        (tmp_path / "src" / "x").write_text("yz")
        before = install.sources_digest(tmp_path)
        (tmp_path / "src" / "x").unlink()
        (tmp_path / "src" / "xy").write_text("z")
        assert install.sources_digest(tmp_path) != before

        settled = install.sources_digest(tmp_path)
        (tmp_path / "python" / "vornix" / "__pycache__").mkdir()
        (tmp_path / "python" / "vornix" / "__pycache__" / "__init__.cpython-311.pyc").write_bytes(b"\0")
        (tmp_path / "tests").mkdir()
        (tmp_path / "tests" / "test_x.py").write_text("")
        (tmp_path / "build").mkdir()
        (tmp_path / "build" / "CMakeCache.txt").write_text("")
        assert install.sources_digest(tmp_path) == settled


class TestRequirements:
    def test_satisfied_missing_and_conditional_requirements(self):
        assert install.unmet(["pytest>=1", "pytest; python_version < '3'"]) == []
        assert install.unmet(["pytest>=999"]) == ["pytest>=999"]
        assert install.unmet(["no-such-distribution-vornix-test"]) == ["no-such-distribution-vornix-test"]

    def test_extras_expand_through_references_to_the_project(self, monkeypatch):
        optional = {"base": ["no-such-distribution-a"], "all": ["vornix[base]", "pytest", "vornix[all]"]}
        monkeypatch.setattr(install, "pyproject", lambda: {"project": {"optional-dependencies": optional}})
        assert install.unmet([], ["all"]) == ["no-such-distribution-a"]
        assert install.unmet(["pytest"], []) == []


class TestInstallStamp:
    """When the package is rebuilt: every difference from what was installed
    rebuilds, nothing else does, and an interrupted build never counts."""

    def test_rebuilds_exactly_when_something_differs(self, tmp_path, monkeypatch):
        state = {"digest": "a", "record": None, "fail": False}
        calls = []

        def fake_pip(args):
            calls.append(args[-1])
            if state["fail"]:
                raise KeyboardInterrupt
            state["record"] = f"record-{len(calls)}"

        monkeypatch.setattr(install, "pip_install", fake_pip)
        monkeypatch.setattr(install, "ensure_build_requirements", lambda: None)
        monkeypatch.setattr(install, "sources_digest", lambda root=None: state["digest"])
        monkeypatch.setattr(install, "installed_record", lambda: state["record"])
        monkeypatch.setattr(install, "ROOT", tmp_path)

        def builds(extras=()):
            before = len(calls)
            install.install_package(tmp_path, list(extras))
            return calls[before:]

        root = str(tmp_path)
        assert builds() == [root]
        assert builds() == []
        assert builds(["test"]) == [f"{root}[test]"]
        assert builds() == [] and builds(["test"]) == []
        state["digest"] = "b"  # a source file changed
        assert builds() == [f"{root}[test]"]  # the extras installed before are kept
        state["record"] = "reinstalled by hand"
        assert builds(["test"]) == [f"{root}[test]"]
        state["record"] = None  # uninstalled, or a file of it removed
        assert builds(["test"]) == [f"{root}[test]"]
        state["digest"], state["fail"] = "c", True
        with pytest.raises(KeyboardInterrupt):
            builds(["test"])
        state["fail"] = False
        state["digest"] = "b"  # back to what was installed: the broken build still must be redone
        assert builds(["test"]) == [f"{root}[test]"]
        assert builds(["test"]) == []
