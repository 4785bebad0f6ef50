#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# The demonstration: installs what is missing, builds, then runs serialhub on a
# throw-away device whose COM7 is a pty played by scripts/serial_peer.py, with
# simulated backlight, battery, pointer, sound and screen nodes. Shows the
# whole road of a frame: frames arriving on a channel (crtctl watch), bytes
# going back to the peer (crtctl write), a tap becoming pointer events with a
# click, a backlight toggle (and touches dropped while dark), a power loss
# starting the sleep notice (duskcard, on a private Xvfb screen when there is
# one) and the sleep program, power coming back, and a clean SIGTERM
# shutdown. Ends by itself within a minute and leaves nothing behind.
#
#   scripts/demo.sh [--wayland]
#
# --wayland: the notice shows under Weston's kiosk shell (on that Xvfb), as on
# a Wayland kiosk; the screenshot is then build/demo-sleep-notice-wayland.png.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
wayland=0
case "${1:-}" in
  --wayland) wayland=1 ;;
  "") ;;
  *) echo "usage: scripts/demo.sh [--wayland]" >&2; exit 2 ;;
esac

step() { printf '\n== %s\n' "$*"; }
show() { sed 's/^/    /' "$@"; }
# Waits up to $2 seconds (default 10) for file $1 to exist.
wait_file() { for _ in $(seq $((${2:-10} * 20))); do [ -e "$1" ] && return 0; sleep 0.05; done; return 1; }
# Plays an act of the peer's conversation and waits until it has been sent.
act() { touch "$work/go/$1"; wait_file "$work/go/$1.done" 20; }

step "Installing what is missing and building (plain flavour)"
scripts/deps.sh
scripts/build.sh plain --target serialhub crtctl duskcard >/dev/null
build=$repo/build/plain
crtctl=$build/client/crtctl

work=$(mktemp -d "${TMPDIR:-/tmp}/serialhub-demo-XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

step "A device in $work"
export CE_ROOT=$work/root CE_OBJECTS=$work/objects
dev=$CE_ROOT/dev
app=$CE_ROOT/residentflash2/korvent/app
mkdir -p "$dev" "$CE_OBJECTS" "$work/bin" "$work/go" "$app" \
  "$CE_ROOT/registry/HKEY_CURRENT_USER/ControlPanel/Volume" \
  "$CE_ROOT/registry/HKEY_LOCAL_MACHINE/Drivers/GpsCom2"
echo 800x480 >"$dev/screen"                       # screen metrics
: >"$dev/pointer"; : >"$dev/sound"; : >"$dev/BKL1"  # recorders: one line per request
echo 1 >"$dev/BAT1"                                 # AC power on line
echo 1 >"$CE_ROOT/registry/HKEY_CURRENT_USER/ControlPanel/Volume/Screen"  # tap click on
packaging/make_click_wav.py "$CE_ROOT/residentflash2/click.wav"
cp "$build/sleepscreen/duskcard" "$app/duskcard.exe"
python3 sleepscreen/make_notice_bmp.py "$app/duskcard.bmp" 800 480
cat >"$CE_ROOT/residentflash2/sleep.exe" <<EOF2
#!/bin/sh
echo "sleep.exe started at \$(date +%T.%3N)" >>"$work/sleep.log"
EOF2
chmod +x "$CE_ROOT/residentflash2/sleep.exe"
cp "$build/daemon/serialhub" "$work/bin/"
cp daemon/ctl_rt.st "$work/bin/ctl_rt.st"
echo "serialhub and its route file ctl_rt.st side by side in $work/bin:"
grep -v '^;' "$work/bin/ctl_rt.st" | grep -v '^[[:space:]]*$' | show
echo "simulated nodes in \$CE_ROOT/dev: $(ls "$dev" | tr '\n' ' ')"

if command -v Xvfb >/dev/null; then
  display=:$((90 + RANDOM % 100))
  Xvfb "$display" -screen 0 800x480x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  wait_file "/tmp/.X11-unix/X${display#:}" 10 && export DISPLAY=$display
  echo "a private X screen $display (800x480) for the sleep notice"
fi
if [ "$wayland" = 1 ]; then
  [ -n "${DISPLAY:-}" ] || { echo "--wayland needs Xvfb for Weston's screen"; exit 1; }
  export XDG_RUNTIME_DIR=$work/runtime
  mkdir -m 0700 "$XDG_RUNTIME_DIR"
  weston --backend=x11-backend.so --shell=kiosk-shell.so --debug --no-config --socket=serialhub-demo \
    --width=800 --height=480 --idle-time=0 >"$work/weston.log" 2>&1 &
  pids+=($!)
  wait_file "$XDG_RUNTIME_DIR/serialhub-demo" 30 || { echo "weston did not start:"; tail -5 "$work/weston.log"; exit 1; }
  export WAYLAND_DISPLAY=serialhub-demo
  echo "Weston's kiosk shell on that screen, Wayland display $WAYLAND_DISPLAY: the notice shows there"
  echo "(touch on Wayland is uinput: link dev/pointer to /dev/uinput on a device)"
fi

step "The serial peer: a pty linked as dev/COM7"
python3 scripts/serial_peer.py --link "$dev/COM7" --go "$work/go" --stop "$work/stop" --seconds 55 &
peer=$!
pids+=("$peer")
for _ in $(seq 100); do [ -L "$dev/COM7" ] && break; sleep 0.05; done

step "Starting serialhub and waiting for READY=1 on its notify socket"
notify=$work/notify
python3 - "$notify" "$work/bin/serialhub" >"$work/daemon.log" 2>&1 <<'PY' &
# Binds the notify socket, starts serialhub, relays its notices, waits for it.
import os, socket, subprocess, sys
path, program = sys.argv[1], sys.argv[2]
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(path)
child = subprocess.Popen([program], env=dict(os.environ, NOTIFY_SOCKET=path))
open(path + ".pid", "w").write(str(child.pid))
sock.settimeout(0.2)
while True:
    try:
        print("notice:", sock.recv(256).decode(), flush=True)
    except socket.timeout:
        pass
    code = child.poll()
    if code is not None:
        print("exit code:", code, flush=True)
        break
PY
pids+=($!)
for _ in $(seq 200); do grep -q READY=1 "$work/daemon.log" 2>/dev/null && break; sleep 0.05; done
grep -q READY=1 "$work/daemon.log" || { echo "serialhub did not become ready"; cat "$work/daemon.log"; exit 1; }
daemon_pid=$(cat "$notify.pid")
echo "serialhub (pid $daemon_pid) said READY=1"
echo "named objects now in \$CE_OBJECTS: $(ls "$CE_OBJECTS" | tr '\n' ' ')"

step "Frames: crtctl watch 2 follows CRT2 through the daemon's monitor socket while the peer talks"
"$crtctl" watch 2 --count 2 --timeout 8000 >"$work/watch2.log" 2>&1 &
w2=$!
pids+=("$w2")
# subscribed before the first byte
for _ in $(seq 100); do grep -q watching "$work/watch2.log" 2>/dev/null && break; sleep 0.05; done
act frames
wait "$w2" || true
echo "crtctl watch 2 (the text frames; the second came split across two writes):"; show "$work/watch2.log"
echo "the tap on channel 1 became pointer events (dev/pointer: flags x y data extra):"; show "$dev/pointer"
echo "and one click on pen-down (dev/sound):"; show "$dev/sound"
echo "crtctl show 1 (the last touch frame as it sits in block CRT1):"
"$crtctl" show 1 | show

step "Sending bytes back through CRT:WRITE with crtctl write"
"$crtctl" write 48 65 6c 6c 6f 0d 0a
echo "crtctl write 48 65 6c 6c 6f 0d 0a  (\"Hello\\r\\n\"): the peer prints them above or below"
sleep 0.3

step "Backlight: command 3 on channel 4 switches it off, then on again"
: >"$dev/pointer"; : >"$dev/sound"
act backlight
echo "dev/BKL1 (the control codes the backlight driver received):"; show "$dev/BKL1"
echo "dev/pointer while dark (touches are dropped): $(wc -l <"$dev/pointer") lines"
echo "dev/sound (the dark-screen click instead):"; show "$dev/sound"

step "Power loss: dev/BAT1 reads 0"
echo "power lost at $(date +%T.%3N)"
echo 0 >"$dev/BAT1"
wait_file "$work/sleep.log" 10 || echo "(the sleep program did not start)"
show "$work/sleep.log"
if [ -n "${DISPLAY:-}" ] && pgrep -f "$app/duskcard.exe" >/dev/null; then
  echo "duskcard is showing its notice on $DISPLAY (pid $(pgrep -f "$app/duskcard.exe"))"
  if [ "$wayland" = 1 ]; then
    mkdir -p "$work/shot"
    # The notice is the only window: kiosk shell has it fullscreen.
    for _ in $(seq 100); do [ -S "$CE_OBJECTS/SLEEP" ] && break; sleep 0.05; done
    (cd "$work/shot" && weston-screenshooter) &&
      convert "$work"/shot/*.png -alpha off "$repo/build/demo-sleep-notice-wayland.png" 2>/dev/null &&
      echo "screenshot of the notice under Weston: build/demo-sleep-notice-wayland.png"
    echo "its window-message socket: $(ls -l "$CE_OBJECTS/SLEEP")"
  elif command -v xwd >/dev/null && command -v convert >/dev/null; then
    xwd -root -silent -display "$DISPLAY" | convert xwd:- "$repo/build/demo-sleep-notice.png" 2>/dev/null &&
      echo "screenshot of the notice: build/demo-sleep-notice.png"
  fi
fi

step "Power returns: dev/BAT1 reads 1, touch input comes back"
: >"$dev/pointer"
echo 1 >"$dev/BAT1"
sleep 1.5  # the power watcher looks once a second
act tap
echo "dev/pointer:"; show "$dev/pointer"

step "Stopping serialhub with SIGTERM"
kill -TERM "$daemon_pid"
for _ in $(seq 100); do grep -q "exit code" "$work/daemon.log" && break; sleep 0.05; done
show "$work/daemon.log"
touch "$work/stop"
wait "$peer" 2>/dev/null || true

step "Done: the temporary device is removed"
