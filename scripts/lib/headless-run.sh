#!/usr/bin/env bash
# Runs inside Xvfb and a private session bus (see scripts/run): starts the
# app, waits for its window, saves a screenshot and closes the app.
set -euo pipefail
cd "$(dirname "$0")/../.."
shot=build/trellan.png

build/src/trellan &
app=$!
trap 'kill $app 2>/dev/null || true' EXIT

for _ in $(seq 100); do
  build/tools/x11-shot "$shot" iperf3 2>/dev/null && break
  sleep 0.1
done
sleep 1  # let the first frames settle
build/tools/x11-shot "$shot" iperf3
echo "Screenshot of the window: $(pwd)/$shot"
