#!/usr/bin/env bash
# Runs Trellan with no display (see scripts/run): starts the app under Xvfb
# with a session bus and a runtime directory of its own, has its Server page
# serve and its Client page measure against it on loopback through the
# accessibility bus, saves screenshots under BUILD/ and closes the app. Fails
# if the drive fails, the app does not end, or an iperf3 is left behind.
#
#   scripts/lib/headless-run.sh [BUILD [light|dark]]
#
# The accessibility bus keeps its socket in the runtime directory: a private
# one means two runs at the same time never find or take over each other's.
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=scripts/lib/packages.sh
source scripts/lib/packages.sh

if [ "${1:-}" != --inside ]; then
  runtime=$(mktemp -d "${TMPDIR:-/tmp}/trellan-run.XXXXXX")
  chmod 700 "$runtime"
  trap 'rm -rf "$runtime"' EXIT
  rc=0
  XDG_RUNTIME_DIR=$runtime dbus-run-session -- \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$0" --inside "$@" || rc=$?
  exit "$rc"
fi
shift

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
python=$(gi_python)

# The form's default port when nothing listens on it (the screenshots show the
# defaults), else a free one; a server already on 5201 must not answer for ours.
port=$("$python" - <<'PY'
import socket
def free(port):
    for family, host in ((socket.AF_INET6, "::"), (socket.AF_INET, "0.0.0.0")):
        try:
            s = socket.socket(family, socket.SOCK_STREAM)
        except OSError:
            continue
        with s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            if family == socket.AF_INET6:
                s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            try:
                s.bind((host, port))
                return s.getsockname()[1]
            except OSError:
                return 0
    return 0
print(free(5201) or free(0))
PY
)

# Prints the ids and command lines of the iperf3 processes that use our port.
our_iperf3() {
  local p args
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = iperf3 ] || continue
    args=" $(tr '\0' ' ' <"$p/cmdline" 2>/dev/null)"
    case "$args" in *" -p $port "*) echo "${p#/proc/}$args" ;; esac
  done
}

"$build/src/trellan" &
app=$!
trap 'kill -9 $app 2>/dev/null || true' EXIT

drive=0
"$python" scripts/lib/drive.py "$build/tools/x11-shot" "$(pwd)/$build" "$suffix" "$port" || drive=$?

failed=0
for _ in $(seq 100); do kill -0 $app 2>/dev/null || break; sleep 0.1; done
if kill -0 $app 2>/dev/null; then
  [ "$drive" != 0 ] || echo "the app did not end when its window was closed" >&2
  kill -9 $app 2>/dev/null || true
  failed=1
fi
status=0
wait $app || status=$?
trap - EXIT

# The app's iperf3 children must go with it.
left=""
for _ in $(seq 20); do
  left=$(our_iperf3)
  [ -n "$left" ] || break
  sleep 0.1
done
if [ -n "$left" ]; then
  echo "an iperf3 of the app is still running:" >&2
  echo "$left" | sed 's/^/  /' >&2
  echo "$left" | while read -r pid _; do kill -9 "$pid" 2>/dev/null || true; done
  failed=1
fi
if [ "$drive" != 0 ]; then
  echo "the drive through the window failed (status $drive)" >&2
  failed=1
fi
[ "$failed" = 0 ] || exit 1
echo "The app closed with status $status and left no iperf3 running."
exit "$status"
