#!/bin/sh
# Stand-in for iperf3 in the runner tests. The first argument picks what it
# does. A process id it reports goes to standard error, where the runner turns
# it into an Error event the test can read.
mode=$1
[ $# -gt 0 ] && shift
case "$mode" in
  error-exit)
    echo "iperf3: error - unable to connect to server: Connection refused" >&2
    exit 1 ;;
  silent-exit)
    exit 3 ;;
  sleep)
    exec sleep 30 ;;
  pid-sleep)
    echo "$$" >&2
    exec sleep 30 ;;
  args)
    for a in "$@"; do printf 'arg <%s>\n' "$a" >&2; done ;;
  env)
    printf 'env <%s> <%s>\n' "${TRELLAN_RUN_PROBE-unset}" "$(pwd)" >&2 ;;
  long-line)
    pad=$(head -c 1048576 /dev/zero | tr '\000' x)
    printf '[  5] 0.00-1.00 sec %s 5 Mbits/sec\n' "$pad"
    printf 'iperf3: error - %s\n' "$pad" >&2 ;;
  invalid-utf8)
    printf 'iperf3: error - bad \377 byte\n' >&2
    printf '[  5] 0.00-1.00 sec 1 MBytes 1 Mbits/sec\n[  5] 1.00-2.00 sec \377 MBytes 2 Mbits/sec\n[  5] 2.00-3.00 sec 1 MBytes 3 Mbits/sec\n' ;;
  no-newline)
    printf '[  5] 0.00-1.00 sec 1 MBytes 1 Mbits/sec\r\n[  5] 1.00-2.00 sec 1 MBytes 2 Mbits/sec' ;;
  flood)
    # $1 stdout lines (one interval, so each adds 8 to the total) and $2
    # numbered error lines, written at the same time.
    yes '[  5]   0.00-1.00   sec  1.00 MBytes  8.00 Mbits/sec' | head -n "$1" &
    seq -f 'iperf3: error - %09.0f' 1 "$2" >&2
    wait ;;
  lines-then-pid-sleep)
    # $1 intervals, the n-th at n Mbit/s, then the pid; stays until killed.
    seq "$1" | sed 's|.*|[  5] &.00-&.50 sec 1 MBytes & Mbits/sec|'
    echo "$$" >&2
    exec sleep 30 ;;
  close-pipes-sleep)
    # Ends both outputs but stays alive.
    exec 1>&-
    echo "$$" >&2
    exec 2>&- sleep 30 ;;
  talk)
    # Three intervals at $1 Mbit/s, then the pid; stays until killed.
    for i in 1 2 3; do printf '[  5] %s.00-%s.50 sec 1 MBytes %s Mbits/sec\n' "$i" "$i" "$1"; done
    echo "$$" >&2
    exec sleep 30 ;;
  slow-writer)
    # Writes 256 KiB (more than a pipe holds) after a pause, then leaves a mark.
    sleep 0.2
    yes '[  5] 0.00-1.00 sec 1 MBytes 1 Mbits/sec' | head -c 262144
    : > "$1" ;;
  *)
    echo "fake iperf3: unknown mode '$mode'" >&2
    exit 99 ;;
esac
