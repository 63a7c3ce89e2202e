#!/usr/bin/env bash
# Records what iperf3 prints on loopback for the runs the parser and window
# tests read, client and server side, with the options the app passes. Usage:
#   capture.sh OUTDIR [CASE...]
# With no CASE every case is recorded. Each ordinary case gives
# OUTDIR/NAME-client.txt and OUTDIR/NAME-server.txt; the cases of a client
# that stops early give the server's standard output and standard error
# (OUTDIR/NAME-server.txt, OUTDIR/NAME-server-stderr.txt).
set -euo pipefail
out=$1
shift
mkdir -p "$out"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

capture() {
  local name=$1; shift
  local port
  port=$(free_port)
  iperf3 -s -p "$port" -i 1 --forceflush >"$out/$name-server.txt" 2>/dev/null &
  local server=$!
  sleep 0.5
  iperf3 -c 127.0.0.1 -p "$port" -t 3 -i 1 --forceflush "$@" >"$out/$name-client.txt" || true
  sleep 0.5
  kill "$server"
  wait "$server" 2>/dev/null || true
}

# A 10 s client that gets `signal` after 2.6 s; the server is stopped once it
# listens again, so its standard error holds only what it said of the client.
capture_early() {
  local name=$1 signal=$2
  local port
  port=$(free_port)
  iperf3 -s -p "$port" -i 1 --forceflush >"$out/$name-server.txt" 2>"$out/$name-server-stderr.txt" &
  local server=$!
  sleep 0.5
  iperf3 -c 127.0.0.1 -p "$port" -t 10 -i 1 --forceflush >/dev/null 2>&1 &
  local client=$!
  sleep 2.6
  kill "-$signal" "$client"
  wait "$client" 2>/dev/null || true
  for _ in $(seq 50); do
    [ "$(grep -c 'Server listening' "$out/$name-server.txt")" -ge 2 ] && break
    sleep 0.1
  done
  sleep 0.3
  kill -KILL "$server"
  wait "$server" 2>/dev/null || true
}

all=(tcp tcp-P2 tcp-reverse-P2 bidir-P1 bidir-P2 udp udp-bidir early-sigint early-sigkill)
for case in "${@:-${all[@]}}"; do
  case $case in
    tcp) capture tcp ;;                    # retransmits, if loopback drops any
    tcp-P2) capture tcp-P2 -P 2 ;;
    tcp-reverse-P2) capture tcp-reverse-P2 -P 2 -R ;;
    bidir-P1) capture bidir-P1 --bidir ;;
    bidir-P2) capture bidir-P2 -P 2 --bidir ;;
    udp) capture udp -u -b 0 ;;
    udp-bidir) capture udp-bidir -u -b 0 --bidir ;;
    early-sigint) capture_early early-sigint INT ;;
    early-sigkill) capture_early early-sigkill KILL ;;
    *) echo "unknown case: $case" >&2; exit 2 ;;
  esac
done
