#!/usr/bin/env bash
# SPDX-FileCopyrightText: 2026 The serialhub authors
# SPDX-License-Identifier: BSD-2-Clause
# The packages in a booted Debian system under a real systemd: builds them,
# installs them with apt into a minimal Debian root (debootstrap, cached
# between runs), boots it with systemd-nspawn and checks, as root inside it,
# what a device relies on: the service up after boot, the device root made by
# systemd-tmpfiles, the journal, frames both ways for a member of the group
# serialhub, restarts after a kill and after a watchdog time-out, a reload,
# the polkit rule, suspend on a power loss from inside the sandbox, and a
# clean stop. Needs root. A host that cannot boot the container fails the
# test, saying why.
#
# usage: system-test.sh [--packages DIR]   (DIR: packages built already)
# SYSTEM_TEST_CACHE (default /var/cache/serialhub-system-test) keeps the root
# and apt's downloads; SYSTEM_TEST_MIRROR names the Debian mirror;
# SYSTEM_TEST_KEEP=1 leaves the container running to look around in.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=
[ "${1:-}" = --packages ] && packages=${2:?--packages needs a folder}

tool=system-test
. scripts/debian-root.sh
# The root's overlay and nspawn's tmpfs vanish with this run's mount namespace,
# whatever way the run ends.
private_mounts "$@"

suite=bookworm
mirror=${SYSTEM_TEST_MIRROR:-http://deb.debian.org/debian}
cache=${SYSTEM_TEST_CACHE:-/var/cache/serialhub-system-test}
work=$PWD/build/system-test
# What a minimal device has besides the packages: an init, the bus, logind
# and polkit for suspend, python3 for the test's serial peer.
include=systemd,systemd-sysv,dbus,polkitd,libpam-systemd,python3
peer_dir=/run/serialhub-peer
routes=/etc/serialhub/ctl_rt.st
started=$SECONDS
phase_start=$SECONDS
timings=()
phase() { timings+=("$1 $((SECONDS - phase_start)) s"); phase_start=$SECONDS; }

scripts/deps.sh
command -v systemd-nspawn >/dev/null || die "systemd-nspawn is missing"

# ---- the packages
if [ -z "$packages" ]; then
  packages=build/deb
  scripts/package.sh >build/system-test.package.log 2>&1 ||
    { tail -30 build/system-test.package.log >&2; die "scripts/package.sh failed"; }
fi
debs=("$packages"/*.deb)
[ -e "${debs[0]}" ] || die "no package in $packages"
phase packages

# ---- the root: debootstrapped once per suite, mirror and package list
cached_root "$cache" "$suite" "$mirror" "$include" 1
mkdir -p "$cache/archives/partial"
phase "root ($root_state)"

# ---- this run's root: an overlay on the cached one
rm -rf "$work"
overlay_root "$base" "$work"
# nspawn keeps its state there; this host runs no systemd to provide it.
mkdir -p /run/systemd/nspawn && mount -t tmpfs tmpfs /run/systemd/nspawn
nspawn=(systemd-nspawn --quiet --register=no --keep-unit --directory="$root")

mkdir -p "$root/var/tmp/debs" "$root/usr/local/lib/serialhub-test"
cp "${debs[@]}" "$root/var/tmp/debs/"
cp scripts/system_peer.py scripts/system_x_listener.py "$root/usr/local/lib/serialhub-test/"
cat >"$root/etc/systemd/system/serialhub-peer.service" <<EOF
[Unit]
Description=the serial peer of the system test
Before=serialhub.service
[Service]
Type=notify
RuntimeDirectory=serialhub-peer
ExecStart=/usr/bin/python3 /usr/local/lib/serialhub-test/system_peer.py $peer_dir
[Install]
WantedBy=multi-user.target
EOF
# The display the sleep notice goes to: a listener on display :7's socket.
cat >"$root/etc/systemd/system/serialhub-x.service" <<EOF
[Unit]
Description=the X display socket of the system test
[Service]
ExecStart=/usr/bin/python3 /usr/local/lib/serialhub-test/system_x_listener.py 7 /run/serialhub-x.log
[Install]
WantedBy=multi-user.target
EOF
mkdir -p "$root/etc/systemd/system/serialhub.service.d"
printf '[Service]\nEnvironment=DISPLAY=:7\n' >"$root/etc/systemd/system/serialhub.service.d/display.conf"
"${nspawn[@]}" --bind="$cache/archives:/var/cache/apt/archives" --setenv=DEBIAN_FRONTEND=noninteractive sh -ec '
  apt-get -qq update
  apt-get -qq -y --no-install-recommends -o APT::Keep-Downloaded-Packages=true install /var/tmp/debs/*.deb
  useradd --no-create-home --groups serialhub tester
  systemctl -q enable serialhub-peer.service serialhub-x.service' >"$work/install.log" 2>&1 ||
  { tail -30 "$work/install.log" >&2; die "installing the packages with apt failed"; }
phase "apt install"

# ---- boot. /sys/power/state is a file of ours: logind sees that the machine
# can suspend, and systemd-sleep's write lands there instead of in the kernel.
printf 'freeze mem\n' >"$work/power-state"
"${nspawn[@]}" --boot --console=read-only --bind="$work/power-state:/sys/power/state" >"$work/console.log" 2>&1 &
nspawn_pid=$!
init=
stop_container() {
  if [ -n "${SYSTEM_TEST_KEEP:-}" ]; then say "left running: nsenter --target $init --all"; return 0; fi
  if [ -n "$init" ] && kill -0 "$nspawn_pid" 2>/dev/null; then inside systemctl poweroff 2>/dev/null || true; fi
  wait_for 20 nspawn_gone && return 0
  # The container's init outlives a killed nspawn; killing it ends them all.
  [ -z "$init" ] || kill -KILL "$init" 2>/dev/null || true
  kill -KILL "$nspawn_pid" 2>/dev/null || true
}
nspawn_gone() { ! kill -0 "$nspawn_pid" 2>/dev/null; }
trap stop_container EXIT
inside() {
  nsenter --target "$init" --mount --uts --ipc --pid --cgroup --root --wd -- \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
as_user() { local user=$1; shift; inside setpriv --reuid="$user" --regid="$user" --init-groups -- "$@"; }

# Waits up to $1 seconds until the rest of the line, a command, succeeds.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}
container_init() { init=$(pgrep -P "$nspawn_pid" -x systemd) && [ -n "$init" ]; }
booted() { case $(inside systemctl is-system-running) in running | degraded) return 0 ;; *) return 1 ;; esac; }
if ! wait_for 30 container_init || ! wait_for 120 booted; then
  kill -0 "$nspawn_pid" 2>/dev/null || say "systemd-nspawn ended; its output:"
  tail -30 "$work/console.log" >&2
  die "the container did not boot (console: $work/console.log)"
fi
[ "$(inside systemctl is-system-running)" = running ] || say "degraded: $(inside systemctl --failed --plain --no-legend)"
phase boot

# ---- the checks
passed=0 failed=0
check() {
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); say "ok - $name"; else failed=$((failed + 1)); say "NOT OK - $name"; fi
}
prop() { inside systemctl show -p "$1" --value serialhub.service; }
journal_has() { inside journalctl -b -q -u serialhub.service -o cat "${@:2}" | grep -qF -- "$1"; }

active_after_boot() {
  [ "$(prop Type)" = notify ] && [ "$(prop ActiveState)" = active ] && [ "$(prop NRestarts)" = 0 ]
}
tmpfiles_made_device_root() {
  local unit
  for unit in systemd-tmpfiles-setup.service systemd-tmpfiles-setup-dev.service; do
    [ "$(inside systemctl show -p Result --value "$unit")" = success ] || { say "$unit failed"; return 1; }
  done
  if inside journalctl -b -q -p warning -u systemd-tmpfiles-setup.service -u systemd-tmpfiles-setup-dev.service |
    grep -F serialhub; then return 1; fi
  inside systemd-tmpfiles --create serialhub.conf || { say "systemd-tmpfiles --create serialhub.conf: exit $?"; return 1; }
  [ "$(inside readlink /var/lib/serialhub/dev/COM7)" = /dev/serialhub-peer ] &&
    [ "$(inside readlink /var/lib/serialhub/residentflash2/korvent/app/duskcard.exe)" = /usr/libexec/serialhub/duskcard ] &&
    [ "$(inside stat -c '%U %G %a' /var/lib/serialhub/registry/HKEY_CURRENT_USER/ControlPanel/Volume/Screen)" = "root serialhub 640" ] &&
    [ "$(inside stat -c '%U %G %a' /dev/shm/ce)" = "serialhub serialhub 2770" ]
}
# Priorities come from the daemon's "<N>" prefixes, which the journal strips.
startup_lines_at_priorities() {
  journal_has "serialhub: $routes: 3 routes, 0 lines refused" -p info..info &&
    journal_has "serialhub: COM7 (/var/lib/serialhub/dev/COM7): opened" -p info..info &&
    ! journal_has "<" -p info..info
}

status_shows() { as_user tester crtctl top --once | grep -qF "$1"; }
writes=0  # each write hands the peer bytes of its own
peer_send() { inside sh -c 'echo "$1" >"$2/send"' - "$1" "$peer_dir"; }
peer_received() { inside cat "$peer_dir/received" | tr -d ' \n' | grep -q "$1"; }
# A text frame on channel $1 (header $2) reaches `crtctl watch` run by a
# member of the group serialhub; bytes from `crtctl write` reach the peer.
frames_flow() {
  local channel=$1 header=$2 tag=$3 text frame back
  text=$(printf '%s' "$tag" | od -An -tx1 -v | xargs)
  frame="$header $text 0d 0a"
  wait_for 20 status_shows "serialhub running   COM7 open" || { say "COM7 is not open"; return 1; }
  # Emptied here, not by the watcher's own redirection: on a loaded machine
  # the last call's "watching" would still be there when it is looked for,
  # and the frame would go out before this watch subscribed.
  : >"$work/watch.out"
  as_user tester crtctl watch "$channel" --count 1 --timeout 15000 >>"$work/watch.out" 2>&1 &
  local watcher=$!
  wait_for 10 grep -q "^watching" "$work/watch.out" && peer_send "$frame" || return 1
  wait "$watcher" && grep -q "$frame" "$work/watch.out" || { say "CRT$channel: $(cat "$work/watch.out")"; return 1; }
  writes=$((writes + 1))
  back=$(printf '55%02x' "$writes")
  as_user tester crtctl write "aa$back" || return 1
  wait_for 10 peer_received "aa$back" || { say "the peer did not get aa $back"; return 1; }
}
restarted_from() { local pid; pid=$(prop MainPID); [ "$(prop ActiveState)" = active ] && [ "$pid" != 0 ] && [ "$pid" != "$1" ]; }
restarts_after_kill() {
  local pid; pid=$(prop MainPID)
  inside systemctl kill -s KILL serialhub.service
  wait_for 30 restarted_from "$pid" && [ "$(prop NRestarts)" = 1 ] && frames_flow 2 "aa 33" killed
}
watchdog_restarts_stopped_daemon() {
  local pid; pid=$(prop MainPID)
  inside systemctl kill --kill-who=main -s STOP serialhub.service
  wait_for 60 restarted_from "$pid" && journal_has "Watchdog timeout" && frames_flow 2 "aa 33" stopped
}
# A refused edit keeps the routes in use; a good one is taken at the next read.
add_route() { inside sh -c 'cp "$2.orig" "$2" && echo "$1" >>"$2"' - "$1" "$routes"; }
reload_applies_edit() {
  local pid; pid=$(prop MainPID)
  inside cp "$routes" "$routes.orig"
  add_route "3,aa 35,,1-0,300,too long" && inside systemctl reload serialhub.service &&
    wait_for 10 journal_has "route file not reloaded: it has refused lines; the 3 routes in use are kept" -p err..err ||
    { say "a refused route file was not refused"; return 1; }
  add_route "3,aa 35,,1-0,0,added" && inside systemctl reload serialhub.service &&
    frames_flow 3 "aa 35" reloaded && journal_has "routes reloaded: 4 in use" && [ "$(prop MainPID)" = "$pid" ]
}
authorised() { as_user "$1" sh -c 'exec pkcheck --action-id "$1" --process $$' - "org.freedesktop.login1.$2" >/dev/null 2>&1; }
polkit_lets_serialhub_suspend() {
  authorised serialhub suspend && authorised serialhub suspend-multiple-sessions &&
    ! authorised serialhub power-off && ! authorised serialhub suspend-ignore-inhibit && ! authorised tester suspend
}
# The AC line as a file the daemon reads each second (it looks at the node's
# kind when it starts). A power loss starts duskcard and the sleep program in
# the daemon's sandbox: duskcard reaches the X socket, the sleep program asks
# logind to suspend.
set_ac_line() { inside sh -c 'echo "$1" >"$2.new" && mv -T "$2.new" "$2"' - "$1" /var/lib/serialhub/dev/BAT1; }
suspended() { grep -qx mem "$work/power-state"; }
notice_reached_x() { inside grep -qx "$(inside id -u serialhub) /usr/libexec/serialhub/duskcard" /run/serialhub-x.log; }
power_loss_suspends() {
  set_ac_line 1 && inside systemctl restart serialhub.service && wait_for 10 status_shows "power mains" &&
    set_ac_line 0 || return 1
  wait_for 20 journal_has "AC power lost" || { say "the daemon saw no power loss"; return 1; }
  wait_for 20 notice_reached_x || { say "duskcard did not reach the X socket"; return 1; }
  wait_for 20 suspended || { inside journalctl -b -q -u serialhub.service -u systemd-logind.service -n 15 -o cat >&2; return 1; }
  set_ac_line 1 && wait_for 20 journal_has "AC power restored"
}
exposure_at_most_3() {
  local exposure
  exposure=$(inside systemd-analyze security serialhub.service | sed -n 's/.*exposure level for serialhub.service: \([0-9.]*\).*/\1/p')
  say "exposure $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.0) }'
}
stops_with_status_0() {
  inside systemctl stop serialhub.service &&
    [ "$(prop ExecMainStatus)" = 0 ] && [ "$(prop Result)" = success ] && journal_has stopping
}

check "serialhub.service is active after boot (Type=notify)" active_after_boot
check "systemd-analyze security rates the unit's exposure 3.0 or less" exposure_at_most_3
check "systemd-tmpfiles made the device root with no error" tmpfiles_made_device_root
check "the journal has the start-up lines at their priorities" startup_lines_at_priorities
check "frames reach crtctl watch and crtctl write reaches the peer" frames_flow 2 "aa 33" booted
check "a kill -s KILL is followed by a restart" restarts_after_kill
check "the watchdog restarts a stopped daemon" watchdog_restarts_stopped_daemon
check "systemctl reload applies an edited route file" reload_applies_edit
check "polkit lets serialhub suspend, and nothing more" polkit_lets_serialhub_suspend
check "a power loss shows the notice on X and suspends through logind" power_loss_suspends
check "systemctl stop ends it with status 0" stops_with_status_0
phase checks

trap - EXIT
stop_container
say "timings: ${timings[*]/%/;} total $((SECONDS - started)) s"
say "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
