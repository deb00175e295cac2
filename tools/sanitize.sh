#!/usr/bin/env bash
# Builds the module and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the whole suite against that build, in
# the same environment as the other commands (tools/env.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/env.sh
vornix_use_env
python3 tools/install.py requirements --extras test
cmake -S . -B build/asan -DVORNIX_SANITIZE=ON -DVORNIX_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython3_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build/asan -j2
# A request too large to serve returns NULL (MemoryError), as with the
# ordinary allocator, instead of stopping the process.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/asan --output-on-failure
# The interpreter itself is not instrumented: preload the runtimes.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  PYTHONPATH=build/asan:python python3 -m pytest -q -p no:cacheprovider tests "$@"
