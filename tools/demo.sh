#!/usr/bin/env bash
# Installs the package (into the environment chosen by tools/env.sh) and runs
# the demonstration in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/env.sh
vornix_use_env
python3 tools/install.py package >/dev/null
python3 examples/demo.py "$@"
