#!/usr/bin/env bash
# Records what iputils ping prints, with the options the app passes
# (-n -O -i 0.1, and -D in the "stamped" case), for the ping parser's tests.
# Run it on each Debian release the app is tested on. Usage (as root):
#   capture-ping.sh OUTDIR
# Every case runs on loopback or between network namespaces made here and
# removed on exit. Each case gives OUTDIR/NAME.txt (standard output) and
# OUTDIR/NAME.err (standard error), and OUTDIR/NAME.rc (the exit status).
set -uo pipefail
out=$1
mkdir -p "$out"

ns_a=trellan-cap-a-$$
ns_b=trellan-cap-b-$$
cleanup() {
  ip netns del "$ns_a" 2>/dev/null
  ip netns del "$ns_b" 2>/dev/null
}
trap cleanup EXIT

# Two namespaces joined by a veth pair: 10.77.0.1 (a) and 10.77.0.2 (b).
# shellcheck source=netns.sh
source "$(dirname "$0")/netns.sh"
netns_pair "$ns_a" "$ns_b" 10.77.0
sleep 1

# NAME then the command; ping's own exit status is kept.
record() {
  local name=$1; shift
  "$@" >"$out/$name.txt" 2>"$out/$name.err"
  echo $? >"$out/$name.rc"
}

in_a() { in_ns "$ns_a" "$@"; }

record replies ping -n -O -i 0.1 -c 10 127.0.0.1
record replies-ipv6 ping -n -O -i 0.1 -c 5 -6 ::1
in_ns "$ns_b" tc qdisc add dev vb clsact
# The far side sends the echo requests whose sequence number ends in binary
# 11 straight back, unanswered (the near side does not forward them): "no
# answer yet" between the replies.
in_ns "$ns_b" tc filter add dev vb ingress protocol ip u32 \
  match ip protocol 1 0xff match u8 8 0xff at 20 match u16 0x0003 0x0003 at 26 \
  action mirred egress redirect dev vb
record no-answer in_a ping -n -O -i 0.1 -c 10 10.77.0.2
# The same with -D, as the app runs it: each line led by ping's own time.
record stamped in_a ping -n -O -D -i 0.1 -c 10 10.77.0.2
in_ns "$ns_b" tc filter del dev vb ingress
# Every reply sent again on the way out (the mirror repeats until the
# kernel's nesting limit stops it): "(DUP!)".
in_ns "$ns_b" tc filter add dev vb egress protocol ip u32 \
  match ip protocol 1 0xff action mirred egress mirror dev vb
record duplicates in_a ping -n -O -i 0.1 -c 3 10.77.0.2
in_ns "$ns_b" tc qdisc del dev vb clsact
# An address on the link that nobody holds: the neighbour lookup fails.
record host-unreachable in_a ping -n -O -i 0.1 -c 15 10.77.0.9
# No route at all.
record no-route in_a ping -n -O -i 0.1 -c 3 192.0.2.1
# A route to nowhere.
in_ns "$ns_a" ip route add blackhole 198.51.100.0/24
record blackhole in_a ping -n -O -i 0.1 -c 3 198.51.100.1
record unresolved ping -n -O -i 0.1 -c 3 nosuch.invalid
# A user who may open neither an ICMP datagram socket (the namespace's
# ping_group_range is empty) nor a raw one (a copy of ping without its file
# capability).
bare=$(mktemp -d)
cp "$(command -v ping)" "$bare/ping"
chmod 755 "$bare"
in_a sysctl -q -w net.ipv4.ping_group_range="1 0"
record no-socket in_a setpriv --reuid=65534 --regid=65534 --clear-groups \
  bash -c 'exec -a ping "$0" "$@"' "$bare/ping" -n -O -i 0.1 -c 3 10.77.0.2
rm -rf "$bare"
