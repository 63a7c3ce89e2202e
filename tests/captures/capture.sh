#!/usr/bin/env bash
# Records what iperf3 prints on loopback for the runs the parser and window
# tests read, client and server side, with the options the app passes. Usage:
#   capture.sh OUTDIR [CASE...]
# Each case gives OUTDIR/NAME-client.txt and OUTDIR/NAME-server.txt (the
# two-clients case: NAME-client1.txt and NAME-client2.txt; the early-sig*
# cases, a client that gets a signal, the server's standard output and
# standard error: NAME-server.txt, NAME-server-stderr.txt). Without a CASE,
# every case is recorded.
set -euo pipefail
out=$1
shift
mkdir -p "$out"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

server_pid=
port=
server_err=
start_server() {
  local name=$1
  port=$(free_port)
  server_err=$(mktemp)
  iperf3 -s -p "$port" -i 1 --forceflush >"$out/$name-server.txt" 2>"$server_err" &
  server_pid=$!
  sleep 0.5
}

# With KEEP_ERR, what the server said on standard error goes to
# NAME-server.err, less the line about its own end.
stop_server() {
  local name=$1 keep_err=${2:-}
  sleep 0.5
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  if [ -n "$keep_err" ]; then
    grep -v 'the server has terminated' "$server_err" >"$out/$name-server.err" || true
  fi
  rm -f "$server_err"
}

client() {
  iperf3 -c 127.0.0.1 -p "$port" -i 1 --forceflush "$@"
}

capture() {
  local name=$1; shift
  start_server "$name"
  client -t 3 "$@" >"$out/$name-client.txt" || true
  stop_server "$name"
}

# A client interrupted with SIGINT after 2.5 s of a 10 s test. Job control
# is on while it starts, so that it runs in a process group of its own (and
# does not ignore SIGINT as a script's background job would).
capture_stopped_early() {
  local name=$1; shift
  start_server "$name"
  set -m
  client -t 10 "$@" >"$out/$name-client.txt" 2>"$out/$name-client.err" &
  local c=$!
  set +m
  sleep 2.5
  kill -INT -- "-$c"
  wait "$c" 2>/dev/null || true
  stop_server "$name" keep-err
}

# One server, two clients in turn: an ordinary one, then a reverse one.
capture_two_clients() {
  local name=$1
  start_server "$name"
  client -t 2 >"$out/$name-client1.txt" || true
  client -t 2 -R >"$out/$name-client2.txt" || true
  stop_server "$name"
}

# A 10 s client that gets `signal` after 2.6 s; the server is stopped once it
# listens again, so its standard error holds only what it said of the client.
capture_early() {
  local name=$1 signal=$2
  start_server "$name"
  iperf3 -c 127.0.0.1 -p "$port" -i 1 --forceflush -t 10 >/dev/null 2>&1 &
  local c=$!
  sleep 2.6
  kill "-$signal" "$c"
  wait "$c" 2>/dev/null || true
  for _ in $(seq 50); do
    [ "$(grep -c 'Server listening' "$out/$name-server.txt")" -ge 2 ] && break
    sleep 0.1
  done
  sleep 0.3
  kill -KILL "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  mv "$server_err" "$out/$name-server-stderr.txt"
}

run_case() {
  case $1 in
    tcp) capture tcp ;;                 # retransmits, if loopback drops any
    tcp-P2) capture tcp-P2 -P 2 ;;
    tcp-reverse-P2) capture tcp-reverse-P2 -P 2 -R ;;
    bidir-P1) capture bidir-P1 --bidir ;;
    bidir-P2) capture bidir-P2 -P 2 --bidir ;;
    udp) capture udp -u -b 0 ;;
    udp-bidir) capture udp-bidir -u -b 0 --bidir ;;
    udp-reverse) capture udp-reverse -u -b 0 -R ;;
    udp-P2) capture udp-P2 -u -b 0 -P 2 ;;
    udp-reverse-P2) capture udp-reverse-P2 -u -b 0 -R -P 2 ;;
    omit) capture omit -O 2 ;;            # two warm-up seconds, then three
    omit-reverse) capture omit-reverse -O 2 -R ;;
    tcp-5s) capture tcp-5s -t 5 ;;        # often ends in a short interval
    tuned) capture tuned -w 256K -M 1200 -C reno ;;
    stopped-early) capture_stopped_early stopped-early ;;
    stopped-early-bidir-P2) capture_stopped_early stopped-early-bidir-P2 -P 2 --bidir ;;
    two-clients) capture_two_clients two-clients ;;
    early-sigint) capture_early early-sigint INT ;;
    early-sigkill) capture_early early-sigkill KILL ;;
    *) echo "unknown case: $1" >&2; exit 2 ;;
  esac
}

if [ $# -eq 0 ]; then
  set -- tcp tcp-P2 tcp-reverse-P2 bidir-P1 bidir-P2 udp udp-bidir udp-reverse udp-P2 udp-reverse-P2 omit omit-reverse tcp-5s tuned \
    stopped-early stopped-early-bidir-P2 two-clients early-sigint early-sigkill
fi
for c in "$@"; do run_case "$c"; done
