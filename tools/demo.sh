#!/usr/bin/env bash
# Installs the package, then simulates gene families along the embedded
# example tree with `vornix simulate` (arguments are passed on to it).
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet --disable-pip-version-check .
python3 -m vornix simulate "$@"
