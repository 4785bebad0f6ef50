#!/bin/sh
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# One capture of the regression tier: plays it through a throw-away device
# with the built daemon and compares the frames delivered with the expected
# ones. The capture's own route file (<name>.routes) if it has one, else
# ctl_rt.st beside it.
# usage: run_capture.sh CRTCTL SERIALHUB CAPTURE
set -eu
crtctl=$1 daemon=$2 capture=$3
dir=$(dirname "$capture")
name=$(basename "$capture" .cap)
routes=$dir/$name.routes
[ -f "$routes" ] || routes=$dir/ctl_rt.st
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$crtctl" replay --run "$capture" --routes "$routes" --daemon "$daemon" >"$out"
diff -u "$dir/$name.expected" "$out"
