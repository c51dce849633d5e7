#!/usr/bin/env bash
# Gaps between titles and the end of a play through a real sound server:
# `pelu play --device alsa a.mp3 b.mp3` (two 48 kHz titles) on a private
# PipeWire with a null sink, its monitor recorded and compared with the decoded
# PCM (the harness of tests/cli/play_server_test.cpp), RUNS times, then the
# server killed under a play.
# Usage: bench/sound_server/gaps.sh [BUILD_DIR] [RUNS]   (default: build 5)
# Prints one line per run: gap_ms=... exit_after_last_sample_ms=..., then
# server_death_to_exit_ms=... (ended=0 when pelu play still ran 10 s later).
set -euo pipefail
build="${1:-build}"
runs="${2:-5}"
binary="$build/bin/test_cli"
[ -x "$binary" ] || { echo "no $binary: build the test_cli and pelu targets first" >&2; exit 2; }
export QT_QPA_PLATFORM=offscreen
# Runs the measuring tests alone, RUNS times.
"$binary" --gtest_also_run_disabled_tests --gtest_repeat="$runs" \
  --gtest_filter='PeluPlayServer.*TitlesFollowWithoutAGap*' 2>&1 |
  grep -E '^(gap_ms=|.*SKIPPED|.*no private PipeWire)' || true
"$binary" --gtest_also_run_disabled_tests \
  --gtest_filter='PeluPlayServer.*AServerThatDies*' 2>&1 |
  grep -E '^(server_death_to_exit_ms=|.*SKIPPED)' || true
