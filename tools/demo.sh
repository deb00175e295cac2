#!/usr/bin/env bash
# Installs the package (into the environment chosen by tools/env.sh), then
# simulates gene families along the embedded example tree with
# `vornix simulate` (arguments are passed on to it).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/env.sh
vornix_use_env
python3 tools/install.py package >/dev/null
python3 -m vornix simulate "$@"
