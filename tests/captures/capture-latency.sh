#!/usr/bin/env bash
# Records a client test over a 50 Mbit/s token-bucket bottleneck with ping
# beside it, both time-stamped on the same clock, for the tests that place
# probes in the test's intervals. Usage (as root):
#   capture-latency.sh OUTDIR [CASE...]
# Cases: P2 (-P 2), O2 (-O 2), slow-connect (through a relay on the far side
# that waits 2 s before it forwards each connection). Each case gives
# OUTDIR/NAME-iperf3.txt (iperf3's standard output, each line led by
# "[seconds since the epoch]" when it was read) and OUTDIR/NAME-ping.txt
# (ping -D: the same clock, stamped by ping). ping starts a second before
# iperf3, as the app starts it.
set -uo pipefail
out=$1
shift
mkdir -p "$out"
cases=("$@")
[ ${#cases[@]} -eq 0 ] && cases=(P2 O2 slow-connect)

ns_a=trellan-caplat-a-$$
ns_b=trellan-caplat-b-$$
server=
relay=
cleanup() {
  [ -n "$relay" ] && kill "$relay" 2>/dev/null
  [ -n "$server" ] && kill "$server" 2>/dev/null
  wait 2>/dev/null
  ip netns del "$ns_a" 2>/dev/null
  ip netns del "$ns_b" 2>/dev/null
}
trap cleanup EXIT

# shellcheck source=netns.sh
source "$(dirname "$0")/netns.sh"
netns_pair "$ns_a" "$ns_b" 10.79.0
in_ns "$ns_a" tc qdisc add dev va root tbf rate 50mbit burst 32kbit latency 300ms
sleep 1
# Started by nsenter, not through the in_ns function: $! is then the
# server itself, not a shell that a kill would leave it behind.
nsenter --net="/run/netns/$ns_b" iperf3 -s -p 5201 -B 10.79.0.2 >/dev/null 2>&1 &
server=$!

# Each line of standard input, led by when it was read.
stamp() {
  python3 -u -c '
import sys, time
for line in iter(sys.stdin.readline, ""):
    sys.stdout.write("[%.6f] %s" % (time.time(), line))
'
}

# A relay on 10.79.0.2:5202 that waits 2 s after each connection comes
# before it connects on to the server and forwards both ways.
start_relay() {
  nsenter --net="/run/netns/$ns_b" python3 -c '
import socket, threading, time
def pump(a, b):
    try:
        while True:
            d = a.recv(65536)
            if not d: break
            b.sendall(d)
    except OSError: pass
    for s in (a, b):
        try: s.shutdown(socket.SHUT_RDWR)
        except OSError: pass
def serve(c):
    time.sleep(2)
    u = socket.create_connection(("10.79.0.2", 5201))
    threading.Thread(target=pump, args=(c, u), daemon=True).start()
    threading.Thread(target=pump, args=(u, c), daemon=True).start()
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind(("10.79.0.2", 5202)); l.listen(16)
while True:
    c, _ = l.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
' &
  relay=$!
  sleep 0.5
}

# NAME PORT then iperf3's own options.
capture() {
  local name=$1 port=$2; shift 2
  sleep 1
  # nsenter runs ping in its own place (no shell between them to ignore the
  # signal that ends it).
  nsenter --net="/run/netns/$ns_a" ping -D -n -O -i 0.1 10.79.0.2 >"$out/$name-ping.txt" 2>&1 &
  local ping=$!
  sleep 1
  in_ns "$ns_a" iperf3 -c 10.79.0.2 -p "$port" -i 1 --forceflush "$@" 2>&1 | stamp >"$out/$name-iperf3.txt"
  sleep 0.3
  kill -TERM "$ping"
  wait "$ping" 2>/dev/null
}

for c in "${cases[@]}"; do
  case $c in
    P2) capture P2 5201 -t 5 -P 2 ;;
    O2) capture O2 5201 -t 5 -O 2 ;;
    slow-connect) start_relay; capture slow-connect 5202 -t 5; kill "$relay"; relay= ;;
  esac
done
