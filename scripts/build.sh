#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# Configures and builds one flavour into build/<flavour>:
#   plain  gcc, optimised, with benchmarks
#   asan   clang, AddressSanitizer + UBSan, with the libFuzzer targets
#   tsan   clang, ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-plain}
shift || true
case "$flavour" in
  plain) opts=(-DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++) ;;
  asan)  opts=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSERIALHUB_SANITIZE=ON -DSERIALHUB_FUZZ=ON) ;;
  tsan)  opts=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DSERIALHUB_TSAN=ON) ;;
  *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac
cmake -S . -B "build/$flavour" -G Ninja -DSERIALHUB_WERROR=ON "${opts[@]}" >/dev/null
cmake --build "build/$flavour" -j "${JOBS:-2}" "$@"
