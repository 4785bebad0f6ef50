#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# Runs every libFuzzer target of build/asan for a few seconds each, starting
# from the seed corpus in fuzz/corpus/<target> (kept) and a scratch corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shopt -s nullglob
for target in build/asan/fuzz/*_fuzz; do
  name=$(basename "$target")
  scratch=$(mktemp -d)
  seeds=fuzz/corpus/$name
  [ -d "$seeds" ] || seeds=
  echo "fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=0 "$scratch" $seeds 2>"$scratch.log" || {
    tail -n 40 "$scratch.log"; echo "fuzz target $name failed"; exit 1; }
  rm -rf "$scratch" "$scratch.log"
done
