#!/usr/bin/env bash
# Installs the package with its test dependencies (into the environment chosen
# by tools/env.sh), then runs every test: the C++ unit tests (ctest, built in
# the package's own build tree) and the Python tests (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/env.sh
vornix_use_env
build_tree=$(python3 tools/install.py package --extras test)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
"$(vornix_cmake_cache "$build_tree" CMAKE_COMMAND)" --build "$build_tree" --target cpp_tests
"$(vornix_cmake_cache "$build_tree" CMAKE_CTEST_COMMAND)" --test-dir "$build_tree" --output-on-failure
python3 -m pytest -q tests "$@"
