#!/usr/bin/env bash
# Installs the package and runs the demonstration in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet --disable-pip-version-check .
python3 examples/demo.py "$@"
