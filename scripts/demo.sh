#!/usr/bin/env bash
# The installer's main job, end to end on this machine:
#   1. builds build/installer.app (scripts/build.sh);
#   2. makes the example product (two small packages, a picture, a configuration);
#   3. starts the development server (tools/devserver) on a free loopback port;
#   4. runs the installer unattended against it, with HOME in the demo folder;
#   5. prints what happened, stops the server and exits with the installer's
#      exit code.
#
# Environment:
#   DEMO_HOME        the demo folder (default: ./demo). Its home/ and the
#                    server's state/ are kept between runs, so a second run
#                    validates the web user id that the first one obtained.
#   DEMO_SKIP_BUILD  set to 1 to use the existing build/installer.app.
#   DEMO_BUNDLE      run this installer.app instead (e.g. a test build); no build then.
#   DEMO_UNATTENDED  set to 1 to run unattended even when a display is there.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

demo=${DEMO_HOME:-$root/demo}
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)
home=$demo/home
state=$demo/state
content=$demo/content
tmp=$demo/tmp
logs=$demo/logs
bundle=${DEMO_BUNDLE:-$root/build/installer.app}
program=$bundle/Contents/MacOS/installer

# Bounds, in seconds.
server_start_limit=10
installer_limit=600
server_stop_limit=5
launch_log_limit=5

say() { printf '\n== %s\n' "$*"; }

if [ "${DEMO_SKIP_BUILD:-0}" != 1 ] && [ -z "${DEMO_BUNDLE:-}" ]; then
  say "Building build/installer.app"
  scripts/build.sh
fi
[ -x "$program" ] || { echo "demo: $program is missing; build it first" >&2; exit 1; }

say "Preparing $demo"
rm -rf "$content" "$tmp" "$logs"
mkdir -p "$home" "$state" "$tmp" "$logs"
tools/devserver/make_example.sh "$content"

say "Starting the development server"
server_pid=""
stop_server() {
  [ -n "$server_pid" ] || return 0
  kill -TERM "$server_pid" 2>/dev/null || true
  for _ in $(seq $((server_stop_limit * 10))); do
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}
trap stop_server EXIT

# Loopback is too fast to see progress: the packages are sent at about 512 KiB/s.
python3 tools/devserver/devserver.py --root "$content" --state "$state" --port 0 \
  --content-rate 512 >"$logs/devserver.out" 2>"$logs/devserver.log" &
server_pid=$!
base=""
for _ in $(seq $((server_start_limit * 10))); do
  line=$(head -n 1 "$logs/devserver.out" 2>/dev/null || true)
  case "$line" in
    "devserver listening on "*) base=${line#devserver listening on }; break ;;
  esac
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$base" ]; then
  echo "demo: the development server did not start; see $logs/devserver.log" >&2
  exit 1
fi
echo "Serving $content at $base"

events_before=0
[ -f "$state/events.log" ] && events_before=$(wc -l <"$state/events.log")

# With a display the installer shows its window and waits for you: tick the
# licence box and press Install. Without one (or with DEMO_UNATTENDED=1) it
# runs unattended and answers for you.
mode_args=(--unattended)
if [ -n "${DISPLAY:-}" ] && [ "${DEMO_UNATTENDED:-0}" != 1 ]; then
  mode_args=()
  say "Running the installer in its window on $DISPLAY"
else
  say "Running the installer (unattended)"
  echo "No display: to see the window, run for example"
  echo "  Xvfb :99 -screen 0 1280x1024x24 -nolisten tcp & DISPLAY=:99 scripts/demo.sh"
  echo "and look at it with a VNC viewer or screenshots (import -display :99 -window root shot.png)."
fi
set +e
env -u http_proxy -u https_proxy -u HTTP_PROXY -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
  HOME="$home" TMPDIR="$tmp" ZENTAK_UID_SERVICE_URL="$base/api/v1/uid" \
  timeout --kill-after=10 "$installer_limit" \
  "$program" "${mode_args[@]}" --config-url="$base/content/config.ini" --log-path="$logs" \
  2>&1 | tee "$logs/installer-output.txt"
status=${PIPESTATUS[0]}
set -e

# The product is started detached: give its line a moment to arrive.
launch_log=$home/zentak-demo-launch.log
for _ in $(seq $((launch_log_limit * 10))); do
  [ -s "$launch_log" ] && break
  sleep 0.1
done
stop_server

output=$logs/installer-output.txt
# The summary reports what is there; a missing piece is no reason to stop.
set +e
say "Summary"
pages=$(grep '^Page: ' "$output" | sed 's/^Page: //' | paste -sd' ' - || true)
echo "Pages passed:        ${pages:-none}"
echo "Progress lines:      $(grep -c '^Progress: ' "$output" || true)"
events=$(tail -n +"$((events_before + 1))" "$state/events.log" 2>/dev/null | cut -d' ' -f1)
echo "Statistics events:   $(printf '%s\n' "$events" | grep -c . || true) received"
printf '%s\n' "$events" | grep . | sed 's/^/                       /' || true
sitemark=$(tail -n +"$((events_before + 1))" "$state/events.log" 2>/dev/null |
  grep '^WI_NEW_SITEMARK ' | head -n 1 || true)
param() { printf '%s\n' "$sitemark" | sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }
if [ -n "$(param API_SITEMARK)" ]; then
  echo "Web user id:         $(param API_SITEMARK) (new, from the service)"
elif [ -n "$(param REG_USER_SITEMARK)" ]; then
  echo "Web user id:         $(param REG_USER_SITEMARK) (stored by an earlier run, validated)"
elif [ -n "$sitemark" ]; then
  echo "Web user id:         none from the service (hardware id used)"
else
  echo "Web user id:         not reported"
fi
installed=$(find "$home/Applications" -maxdepth 1 -name '*.app' 2>/dev/null | sort || true)
if [ -n "$installed" ]; then
  echo "Installed:"
  printf '%s\n' "$installed" | sed 's/^/                       /'
else
  echo "Installed:           nothing in $home/Applications"
fi
if [ -s "$launch_log" ]; then
  echo "Launched:            $(tail -n 1 "$launch_log")"
else
  echo "Launched:            no (no line in $launch_log)"
fi
echo "Logs:                $logs (installer output, installer logs, devserver.log)"
echo "Statistics packages: $state/packages, readable in $state/events.log"
if [ "$status" -gt 128 ] && [ "$status" -lt 160 ]; then
  echo "Exit code:           $status (ended by signal $((status - 128)))"
else
  echo "Exit code:           $status"
fi
exit "$status"
