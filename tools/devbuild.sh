#!/usr/bin/env bash
# Incremental development build without pip: the extension module lands in
# build/dev/ and the C++ unit tests in build/dev/tests/cpp/.
#   bash tools/devbuild.sh && PYTHONPATH=build/dev:python python3 -m pytest tests
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/dev -DVORNIX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/dev -j2
