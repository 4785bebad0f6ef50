#!/usr/bin/env bash
# The demonstration: installs what is missing, builds, then runs serialhub on a
# throw-away device whose COM7 is a pty played by scripts/serial_peer.py.
# Shows frames arriving on two channels (crtctl watch), bytes going back to
# the peer (crtctl write), readiness and a clean SIGTERM shutdown. Ends by
# itself within a minute and leaves nothing behind.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

step() { printf '\n== %s\n' "$*"; }

step "Installing what is missing and building (plain flavour)"
scripts/deps.sh
scripts/build.sh plain --target serialhub crtctl >/dev/null
build=$repo/build/plain

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
mkdir -p "$CE_ROOT/dev" "$CE_OBJECTS" "$work/bin"
echo 800x480 >"$CE_ROOT/dev/screen"  # simulated screen metrics for the touch path
cp "$build/daemon/serialhub" "$work/bin/"
if [ -f daemon/ctl_rt.st ]; then
  cp daemon/ctl_rt.st "$work/bin/ctl_rt.st"
else
  printf '1,aa 55,,0-0,6,touch\n2,aa 33,,1-0,0,text\n4,aa 44,,0-0,4,control\n' >"$work/bin/ctl_rt.st"
fi
echo "serialhub and its route file ctl_rt.st side by side in $work/bin:"
grep -v '^;' "$work/bin/ctl_rt.st" | grep -v '^[[:space:]]*$' | sed 's/^/    /'
crtctl=$build/client/crtctl

step "The serial peer: a pty linked as dev/COM7"
python3 scripts/serial_peer.py --link "$CE_ROOT/dev/COM7" --go "$work/go" --stop "$work/stop" --seconds 40 &
pids+=($!)
for _ in $(seq 100); do [ -L "$CE_ROOT/dev/COM7" ] && break; sleep 0.05; done

step "Starting serialhub and waiting for READY=1 on its notify socket"
notify=$work/notify
python3 - "$notify" "$work/bin/serialhub" >"$work/daemon.log" 2>&1 <<'EOF' &
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
EOF
pids+=($!)
for _ in $(seq 200); do grep -q READY=1 "$work/daemon.log" 2>/dev/null && break; sleep 0.05; done
grep -q READY=1 "$work/daemon.log" || { echo "serialhub did not become ready"; cat "$work/daemon.log"; exit 1; }
daemon_pid=$(cat "$notify.pid")
echo "serialhub (pid $daemon_pid) said READY=1"
echo "named objects now in \$CE_OBJECTS: $(ls "$CE_OBJECTS" | tr '\n' ' ')"

step "Watching channel 2 with crtctl watch, then telling the peer to go"
echo "(channel 1 is consumed by serialhub's own touch injector, so it is shown"
echo " afterwards with crtctl show instead of competing for its event)"
"$crtctl" watch 2 --count 2 --timeout 8000 >"$work/watch2.log" 2>&1 &
w2=$!
pids+=("$w2")
sleep 0.3  # the watcher is waiting on its event before the first byte
touch "$work/go"
wait "$w2" || true
echo "crtctl watch 2 (text frames):";  sed 's/^/    /' "$work/watch2.log"
echo "crtctl show 1 (the last touch frame, the one split across two writes):"
"$crtctl" show 1 | sed 's/^/    /'

step "Sending bytes back through CRT:WRITE with crtctl write"
"$crtctl" write aa 44 03 00
echo "crtctl write aa 44 03 00  -> the peer should print them below"
"$crtctl" write 48 65 6c 6c 6f 0d 0a
echo "crtctl write 48 65 6c 6c 6f 0d 0a  (\"Hello\\r\\n\")"
sleep 0.5

step "Stopping serialhub with SIGTERM"
kill -TERM "$daemon_pid"
for _ in $(seq 100); do grep -q "exit code" "$work/daemon.log" && break; sleep 0.05; done
sed 's/^/    /' "$work/daemon.log"
touch "$work/stop"
wait "${pids[0]}" || true

step "Done: the temporary device is removed"
