#!/usr/bin/env bash
# Runs inside Xvfb and a private session bus (see scripts/run): starts the
# app, has its Server page serve and its Client page measure against it on
# loopback through the accessibility bus, saves screenshots under build/ and
# closes the app. Fails if the app does not end or leaves an iperf3 behind.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
appearance=${2:-light}  # or dark
# Xvfb has no GPU: GTK's software GL would spend a core on every frame and can
# starve the accessibility bus the drive goes through.
export GSK_RENDERER=cairo
suffix=""
if [ "$appearance" = dark ]; then
  export ADW_DEBUG_COLOR_SCHEME=prefer-dark  # libadwaita's own switch
  suffix=-dark
fi

"$build/src/trellan" &
app=$!
trap 'kill -9 $app 2>/dev/null || true' EXIT

/usr/bin/python3 scripts/lib/drive.py "$build/tools/x11-shot" "$(pwd)/$build" "$suffix"

for _ in $(seq 100); do kill -0 $app 2>/dev/null || break; sleep 0.1; done
if kill -0 $app 2>/dev/null; then
  echo "the app did not end when its window was closed" >&2
  exit 1
fi
wait $app
status=$?
trap - EXIT
sleep 0.5
if pgrep -P $app -x iperf3 >/dev/null || pgrep -f "iperf3 -s -p 5201 -i 1 --forceflush" >/dev/null; then
  echo "an iperf3 of the app is still running" >&2
  exit 1
fi
echo "The app closed with status $status and left no iperf3 running."
exit "$status"
