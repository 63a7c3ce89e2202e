#!/usr/bin/env bash
# Records what iperf3 prints on loopback for the runs the parser tests read,
# client and server side, with the options the app passes. Usage:
#   capture.sh OUTDIR
# Each case gives OUTDIR/NAME-client.txt and OUTDIR/NAME-server.txt.
set -euo pipefail
out=$1
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

capture tcp                    # retransmits, if loopback drops any
capture tcp-P2 -P 2
capture tcp-reverse-P2 -P 2 -R
capture bidir-P1 --bidir
capture bidir-P2 -P 2 --bidir
capture udp -u -b 0
capture udp-bidir -u -b 0 --bidir
