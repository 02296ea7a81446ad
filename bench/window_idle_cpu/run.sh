#!/usr/bin/env bash
# run.sh <installer.app> [seconds, default 5]
#
# CPU used by the installer while its window waits on the start page for the
# user: the program is started on a virtual display (Xvfb) against the
# development server with the example product, and once the start page is
# ready its CPU time (user + system, all threads, from /proc/<pid>/stat) is
# read twice, <seconds> apart. Prints the figure and exits 1 when it is 1 % of
# a core or more.
set -euo pipefail

bundle=${1:?usage: run.sh <installer.app> [seconds]}
seconds=${2:-5}
root=$(cd "$(dirname "$0")/../.." && pwd)
program=$bundle/Contents/MacOS/installer
[ -x "$program" ] || { echo "window_idle_cpu: $program is missing" >&2; exit 2; }
for tool in Xvfb xdotool python3; do
  command -v "$tool" >/dev/null || { echo "window_idle_cpu: $tool is needed" >&2; exit 2; }
done

# Bounds, in tenths of a second.
start_limit=300
ready_limit=600

work=$(mktemp -d)
xvfb_pid=""
server_pid=""
program_pid=""
cleanup() {
  if [ -n "$program_pid" ]; then
    { kill -KILL "$program_pid" && wait "$program_pid"; } 2>/dev/null || true
  fi
  # GNUstep's notification daemon outlives the program: end the one it started.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = gdnc ] || continue
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "HOME=$work/home"; then
      kill "$pid" 2>/dev/null || true
    fi
  done
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# wait_for <tenths> <command...>: runs the command until it succeeds.
wait_for() {
  local limit=$1
  shift
  for _ in $(seq "$limit"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

mkdir -p "$work/home" "$work/tmp"
"$root/tools/devserver/make_example.sh" "$work/content" >/dev/null

# -displayfd: the server picks a free display and writes its number.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" \
  2>"$work/xvfb.log" &
xvfb_pid=$!
wait_for "$start_limit" test -s "$work/display" || { echo "Xvfb did not start" >&2; exit 1; }
display=":$(head -n 1 "$work/display")"

python3 "$root/tools/devserver/devserver.py" --root "$work/content" --state "$work/state" \
  --port 0 >"$work/devserver.out" 2>"$work/devserver.log" &
server_pid=$!
wait_for "$start_limit" grep -qs "listening on" "$work/devserver.out" ||
  { echo "the development server did not start" >&2; exit 1; }
base=$(sed -n 's/^devserver listening on //p' "$work/devserver.out")

env -u http_proxy -u https_proxy -u HTTP_PROXY -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
  HOME="$work/home" TMPDIR="$work/tmp" DISPLAY="$display" \
  ZENTAK_UID_SERVICE_URL="$base/api/v1/uid" \
  "$program" --config-url="$base/content/config.ini" >"$work/program.out" 2>"$work/program.err" &
program_pid=$!

# Ready: the configuration has been read (its statistics event arrived) and
# the window is mapped; then a moment for the page to settle.
wait_for "$ready_limit" grep -qs '^BUNDLE_INSTALL_STARTED ' "$work/state/events.log" ||
  { echo "the start page did not get ready; see $work/program.err" >&2; exit 1; }
wait_for "$start_limit" env DISPLAY="$display" xdotool search --onlyvisible --name Zentak \
  >/dev/null || { echo "no window" >&2; exit 1; }
sleep 2

ticks() { awk '{print $14 + $15}' "/proc/$program_pid/stat"; }
hz=$(getconf CLK_TCK)
before=$(ticks)
start=$(date +%s.%N)
sleep "$seconds"
after=$(ticks)
end=$(date +%s.%N)
kill -0 "$program_pid" 2>/dev/null || { echo "the program ended while measured" >&2; exit 1; }

awk -v t="$((after - before))" -v total="$after" -v hz="$hz" -v s="$start" -v e="$end" 'BEGIN {
  cpu = t / hz; wall = e - s; share = 100 * cpu / wall
  printf "CPU of the program from its start to the end of the measurement: %.2f s\n", total / hz
  printf "window idle on the start page: %.2f s CPU in %.2f s = %.2f %% of a core", cpu, wall, share
  printf " (the clock counts in steps of %.3f s)\n", 1 / hz
  exit share < 1 ? 0 : 1
}'
