#!/usr/bin/env bash
# Records iperf3's JSON output on loopback for the file reader's tests, one
# short run per mode (-t 2 -i 1, so that the files stay small). Usage:
#   capture-json.sh OUTDIR [CASE...]
# Each case gives OUTDIR/json-NAME-client.json and, where the server side is
# kept, OUTDIR/json-NAME-server.json: the server's log (-J --logfile), one
# document per test and the one it writes when it is stopped. The stream
# cases (iperf3 3.17 and later) give json-NAME-client.jsonl, and
# json-stream-server-log-server.jsonl a server's log written as a stream.
set -euo pipefail
out=$1
shift
mkdir -p "$out"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

server_pid=
port=
server_log=
start_server() {
  port=$(free_port)
  server_log=$(mktemp)
  rm -f "$server_log"
  iperf3 -s -p "$port" -J --logfile "$server_log" >/dev/null 2>&1 &
  server_pid=$!
  sleep 0.5
}

# With KEEP, the server's log becomes OUTDIR/json-NAME-server.json.
stop_server() {
  local name=$1 keep=${2:-}
  sleep 0.5
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  if [ -n "$keep" ]; then cp "$server_log" "$out/json-$name-server.json"; fi
  rm -f "$server_log"
}

client() {
  iperf3 -c 127.0.0.1 -p "$port" "$@"
}

capture() {
  local name=$1 keep=$2; shift 2
  start_server
  client -J "$@" >"$out/json-$name-client.json" || true
  stop_server "$name" "$keep"
}

capture_stream() {
  local name=$1; shift
  start_server
  client --json-stream "$@" >"$out/json-$name-client.jsonl" || true
  stop_server "$name"
}

# A client interrupted with SIGINT after 1.5 s of a 10 s test (job control
# gives it a process group of its own, so that it takes the signal).
capture_interrupted() {
  local name=$1 ext=$2; shift 2
  start_server
  set -m
  client "$@" -t 10 >"$out/json-$name-client.$ext" 2>/dev/null &
  local c=$!
  set +m
  sleep 1.5
  kill -INT -- "-$c"
  wait "$c" 2>/dev/null || true
  stop_server "$name" keep
}

# One server, two clients in turn: its log holds two tests and its shutdown.
capture_server_log() {
  start_server
  client -t 1 >/dev/null || true
  client -t 1 -R >/dev/null || true
  stop_server server-log keep
}

# A server writing --json-stream to its log, two clients in turn.
capture_stream_server_log() {
  port=$(free_port)
  server_log=$(mktemp)
  rm -f "$server_log"
  iperf3 -s -p "$port" --json-stream --logfile "$server_log" >/dev/null 2>&1 &
  server_pid=$!
  sleep 0.5
  client -t 1 >/dev/null || true
  client -t 1 -R >/dev/null || true
  sleep 0.5
  kill "$server_pid"
  wait "$server_pid" 2>/dev/null || true
  cp "$server_log" "$out/json-stream-server-log-server.jsonl"
  rm -f "$server_log"
}

run_case() {
  case $1 in
    tcp) capture tcp keep -t 2 -i 1 ;;
    tcp-P2) capture tcp-P2 "" -t 2 -i 1 -P 2 ;;
    reverse) capture reverse keep -t 2 -i 1 -R ;;
    bidir) capture bidir keep -t 2 -i 1 --bidir ;;
    bidir-P2) capture bidir-P2 "" -t 2 -i 1 --bidir -P 2 ;;
    udp) capture udp keep -t 2 -i 1 -u -b 10M ;;
    udp-reverse-P2) capture udp-reverse-P2 "" -t 2 -i 1 -u -b 10M -R -P 2 ;;
    udp-bidir) capture udp-bidir "" -t 2 -i 1 -u -b 10M --bidir ;;
    # Unlimited on loopback: most datagrams lost, a percentage iperf3's text rounds.
    udp-loss) capture udp-loss "" -t 2 -u -b 0 -l 32000 ;;
    omit) capture omit "" -t 2 -i 1 -O 1 ;;
    # A title, a buffer length and a socket buffer asked for.
    tuned) capture tuned keep -t 2 -i 1 -T tuned -l 64K -w 256K ;;
    bytes) capture bytes "" -i 1 -n 2G ;;
    blocks) capture blocks "" -i 1 -k 20000 ;;
    refused)  # nothing listens on the port
      port=$(free_port)
      client -J -t 2 >"$out/json-refused-client.json" || true ;;
    interrupted) capture_interrupted interrupted json -J -i 1 ;;
    server-log) capture_server_log ;;
    stream) capture_stream stream -t 2 -i 1 ;;
    stream-udp-bidir) capture_stream stream-udp-bidir -t 2 -i 1 -u -b 10M --bidir ;;
    stream-interrupted) capture_interrupted stream-interrupted jsonl --json-stream -i 1 ;;
    stream-server-log) capture_stream_server_log ;;
    *) echo "unknown case: $1" >&2; exit 2 ;;
  esac
}

if [ $# -eq 0 ]; then
  set -- tcp tcp-P2 reverse bidir bidir-P2 udp udp-reverse-P2 udp-bidir omit tuned bytes blocks refused \
    interrupted server-log
fi
for c in "$@"; do run_case "$c"; done
