#!/usr/bin/env bash
# Builds the playlist file fuzzer with clang and runs it for a while.
#   run_fuzz.sh BUILD_DIR SECONDS
# The checked-in seeds are run first; a list that does not read back the same
# after writing fails the run like a crash (see tests/support/fuzz/run_libfuzzer.sh).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec bash "$here/../../support/fuzz/run_libfuzzer.sh" playlist_fuzzer "$1" "${2:-20}" 100000 "$here/seeds"
