#!/usr/bin/env bash
# Installs the package with its test dependencies, then runs every test: the
# C++ unit tests (ctest) and the Python tests (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet --disable-pip-version-check ".[test]"
cmake -S . -B build/cpp-tests -DVORNIX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests -j2
ctest --test-dir build/cpp-tests --output-on-failure
python3 -m pytest -q tests "$@"
