#!/usr/bin/env bash
# Incremental development build without pip: the extension modules land in
# build/dev/ and the C++ unit tests in build/dev/tests/cpp/. Uses the same
# environment as the other commands (tools/env.sh), with the test dependencies.
#   bash tools/devbuild.sh && PYTHONPATH=build/dev:python .venv/bin/python3 -m pytest tests
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/env.sh
vornix_use_env
python3 tools/install.py requirements --extras test
cmake -S . -B build/dev -DVORNIX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release \
  -DPython3_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build/dev -j2
