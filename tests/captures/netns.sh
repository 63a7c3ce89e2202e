# shellcheck shell=bash
# Network namespaces for the capture scripts, which source this file.

# Runs a command in a namespace. nsenter rather than "ip netns exec" or
# "ip -n", which also remount /sys and fail inside a chroot.
in_ns() {
  local ns=$1; shift
  nsenter --net="/run/netns/$ns" "$@"
}

# Two namespaces joined by a veth pair, va in the first and vb in the
# second, at PREFIX.1 and PREFIX.2 (/24), every link up.
#   netns_pair NS_A NS_B PREFIX
netns_pair() {
  local a=$1 b=$2 prefix=$3
  ip netns add "$a"
  ip netns add "$b"
  in_ns "$a" ip link add va type veth peer name vb netns "$b"
  in_ns "$a" ip addr add "$prefix.1/24" dev va
  in_ns "$b" ip addr add "$prefix.2/24" dev vb
  for ns in "$a" "$b"; do in_ns "$ns" ip link set lo up; done
  in_ns "$a" ip link set va up
  in_ns "$b" ip link set vb up
}
