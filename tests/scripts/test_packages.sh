#!/usr/bin/env bash
# scripts/lib/packages.sh under `set -euo pipefail`, as the project's scripts
# use it, with stand-ins for dpkg-query, apt-get and locale on the PATH. Like
# the real one, the stand-in dpkg-query exits 1 when a package is unknown to
# dpkg, which must count as missing, not end the script.
#
#   test_packages.sh PATH/TO/packages.sh
set -uo pipefail
lib=$1
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT

# dpkg knows "here" (installed), "gone" (removed, configuration left) and
# whatever the stand-in apt-get installed.
cat >"$fake/dpkg-query" <<'SH'
#!/bin/sh
rc=0
for a; do
  case $a in
    -*) ;;
    *) if grep -qx "$a" "$FAKE/installed" 2>/dev/null; then echo "$a installed"
       elif [ "$a" = here ]; then echo "here installed"
       elif [ "$a" = gone ]; then echo "gone config-files"
       else echo "dpkg-query: no packages found matching $a" >&2; rc=1; fi ;;
  esac
done
exit $rc
SH
# Logs "update" and "install PACKAGE..." (options left out).
cat >"$fake/apt-get" <<'SH'
#!/bin/bash
words=()
while [ $# -gt 0 ]; do
  case $1 in -o) shift ;; -*) ;; *) words+=("$1") ;; esac
  shift
done
echo "${words[*]}" >>"$FAKE/apt-log"
[ "${words[0]}" != install ] || printf '%s\n' "${words[@]:1}" >>"$FAKE/installed"
SH
printf '#!/bin/sh\necho C\necho de_DE.utf8\n' >"$fake/locale"
chmod +x "$fake"/*

failed=0
# check NAME EXPECTED COMMAND: runs COMMAND in a fresh strict shell.
check() {
  local got rc=0
  got=$(FAKE=$fake PATH="$fake:$PATH" bash -c "set -euo pipefail; source '$lib'; $3" 2>&1) || rc=$?
  if [ "$rc" != 0 ] || [ "$got" != "$2" ]; then
    echo "FAIL $1: status $rc, got:"
    echo "$got"
    echo "expected:"
    echo "$2"
    failed=1
  else
    echo "ok $1"
  fi
}

check "unknown and removed packages are listed as missing" $'unknown-one\ngone\nunknown-two' \
  'missing_packages here unknown-one gone unknown-two'
check "nothing is listed when all are installed" "" 'missing_packages here'
check "the missing ones are installed, and only they" $'update\ninstall unknown-one gone' \
  'ensure_packages here unknown-one gone 2>/dev/null; cat "$FAKE/apt-log"'
exit "$failed"
