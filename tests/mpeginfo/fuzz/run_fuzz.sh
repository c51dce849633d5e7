#!/usr/bin/env bash
# Builds the MPEG reader's fuzzer with clang and runs it for a while.
#   run_fuzz.sh BUILD_DIR SECONDS
# The checked-in seeds and every input that once crashed or hung the reader
# (regressions/) are run first; see tests/support/fuzz/run_libfuzzer.sh.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec bash "$here/../../support/fuzz/run_libfuzzer.sh" mpeginfo_fuzzer "$1" "${2:-20}" 65536 \
  "$here/seeds" "$here/regressions"
