#!/usr/bin/env bash
# Builds the registry file fuzzer with clang and runs it for a while.
#   run_fuzz.sh BUILD_DIR SECONDS
# The checked-in seeds are run first; an export that does not come back the
# same fails the run like a crash (see tests/support/fuzz/run_libfuzzer.sh).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec bash "$here/../../support/fuzz/run_libfuzzer.sh" registry_fuzzer "$1" "${2:-20}" 8192 "$here/seeds"
