"""The README's Python examples run as written, one after the other."""
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def python_blocks():
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.S | re.M)


def test_readme_python_examples_run(tmp_path, monkeypatch, capsys):
    blocks = python_blocks()
    assert len(blocks) >= 2
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    for block in blocks:
        exec(compile(block, "README.md", "exec"), namespace)
    assert (tmp_path / "simulation" / "Profiles.tsv").exists()
    assert "human" in capsys.readouterr().out


def test_commands_section_opens_with_the_two_commands():
    text = open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()
    section = text.split("## Commands", 1)[1].split("\n## ", 1)[0]
    commands = re.findall(r"^    (\S.*)$", section, flags=re.M)
    assert commands[:2] == ["bash tools/demo.sh", "bash tools/test.sh"]
