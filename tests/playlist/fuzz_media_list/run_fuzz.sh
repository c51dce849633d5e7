#!/usr/bin/env bash
# Builds the media list reader's fuzzer with clang and runs it for a while.
#   run_fuzz.sh BUILD_DIR SECONDS
# The checked-in seeds are run first; see tests/support/fuzz/run_libfuzzer.sh.
# The memory limit of that runner (2 GiB) also fails a list that makes the
# reader hold far more than the file.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec bash "$here/../../support/fuzz/run_libfuzzer.sh" media_list_fuzzer "$1" "${2:-20}" 65536 "$here/seeds"
