#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite.
#   scripts/test.sh                 normal build in build/
#   PELU_SANITIZE=address scripts/test.sh   (or thread) sanitizer build in build-<kind>/
#   warnings are errors in the normal build (PELU_WERROR=OFF or ON overrides,
#   e.g. for a sanitizer build, whose instrumentation can add warnings of its own)
#   extra arguments go to ctest, e.g. scripts/test.sh -L audio
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

sanitize="${PELU_SANITIZE:-}"
build_dir="build${sanitize:+-$sanitize}"
jobs="$(nproc 2>/dev/null || echo 2)"

werror="${PELU_WERROR:-$([ -z "$sanitize" ] && echo ON || echo OFF)}"

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELU_SANITIZE="$sanitize" \
  -DPELU_WERROR="$werror" >/dev/null
cmake --build "$build_dir" -j "$jobs"

export QT_QPA_PLATFORM=offscreen
if [ "$sanitize" = "thread" ]; then
  # Qt's own atomics are not instrumented; keep the reports to our code.
  # scripts/tsan.supp: the one suppression file (the suites also build it in).
  export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp}"
fi
if [ "$sanitize" = "address" ]; then
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
fi
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" --timeout 600 "$@"
