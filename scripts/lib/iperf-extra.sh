#!/usr/bin/env bash
# Sanitizer builds and fuzzing of the GTK-free layers (core, process), and
# a bounded stress of the clipboard under load.
#
#   scripts/lib/iperf-extra.sh SCRATCH_DIR
#
# Builds the core and process tests with address+undefined and with thread sanitizers,
# runs them, builds the libFuzzer target with clang and runs it for a bounded
# time from the corpus in fuzz/corpus/, and the reader of files of runs from
# fuzz/corpus-run-file/. SCRATCH_DIR's parent is the build whose
# bench/copy-stress copies a day-long run as CSV and as text, again and
# again, for xclip to paste beside two CPU hogs, with every third paste
# killed mid-transfer. The last line of output is "RESULT <passed>
# <failed>": test cases of both sanitizer runs plus each fuzz run and each
# copy stress as one case. Exits non-zero when anything failed.
set -uo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 SCRATCH_DIR" >&2
  echo "RESULT 0 1"
  exit 2
fi
mkdir -p "$1" && scratch=$(cd "$1" && pwd) || { echo "cannot use $1"; echo "RESULT 0 1"; exit 2; }
cd "$(dirname "$0")/../.."
root=$PWD

fuzz_seconds=30
passed=0
failed=0

# Every executable the core and process tests are made of, as the build
# itself lists them: a test added there is built here too.
layer_targets() {
  meson introspect --targets "$1" | python3 -c '
import json, sys
for t in json.load(sys.stdin):
    for f in t["filename"]:
        rel = f.split("/tests/", 1)
        if t["type"] == "executable" and len(rel) == 2 and rel[1].split("/")[0] in ("core", "process"):
            print("tests/" + rel[1])
'
}

# Cases of one `meson test` run, counted from its logs.
count_cases() {
  local junit=$1/meson-logs/testlog.junit.xml
  if [ -f scripts/lib/count_tests.py ]; then
    python3 scripts/lib/count_tests.py "$junit"
  else
    python3 - "$junit" <<'EOF'
import sys, xml.etree.ElementTree as ET
try:
    root = ET.parse(sys.argv[1]).getroot()
except (OSError, ET.ParseError):
    print(0, 1); sys.exit()
p = f = 0
for case in root.iter("testcase"):
    tags = {c.tag for c in case}
    if tags & {"failure", "error"}: f += 1
    elif "skipped" not in tags: p += 1
print(p, f)
EOF
  fi
}

# setup_build DIR ARGS...: configures DIR (again, if it exists) with ARGS.
setup_build() {
  local dir=$1
  shift
  if [ -f "$dir/build.ninja" ]; then
    meson setup --reconfigure "$dir" "$@" >"$dir.setup.log" 2>&1
  else
    rm -rf "$dir"
    meson setup "$dir" "$@" >"$dir.setup.log" 2>&1
  fi || { echo "meson setup of $dir failed:"; tail -n 20 "$dir.setup.log"; return 1; }
}

# sanitizer_run NAME SANITIZERS: builds the iperf tests with the sanitizers
# and runs them.
sanitizer_run() {
  local name=$1 sanitize=$2
  local dir=$scratch/$name
  echo "== core and process tests with -fsanitize=$sanitize =="
  # Unoptimised: builds three times faster, and the tests stay quick.
  if ! setup_build "$dir" -Db_sanitize="$sanitize" -Db_lundef=false -Dtests=enabled -Dbenchmarks=disabled \
      -Dbuildtype=debug; then
    failed=$((failed + 1))
    return
  fi
  local targets
  mapfile -t targets < <(layer_targets "$dir")
  if [ "${#targets[@]}" -eq 0 ] || ! ninja -C "$dir" "${targets[@]}" >"$dir.build.log" 2>&1; then
    echo "build with $sanitize failed:"
    tail -n 30 "$dir.build.log"
    failed=$((failed + 1))
    return
  fi

  # Thread sanitizer runtimes of older compilers refuse the address-space
  # layout of kernels with more mmap randomisation; without ASLR they work.
  local wrapper=()
  if ! "$dir/tests/core/test-core-text" --gtest_list_tests >/dev/null 2>"$dir.probe.log"; then
    if setarch "$(uname -m)" -R "$dir/tests/core/test-core-text" --gtest_list_tests >/dev/null 2>&1; then
      echo "(running without address-space randomisation: $(head -n 1 "$dir.probe.log"))"
      wrapper=(--wrapper "setarch $(uname -m) -R")
    else
      echo "the $sanitize build cannot run here:"
      cat "$dir.probe.log"
      failed=$((failed + 1))
      return
    fi
  fi

  # Counts come from this run's logs only.
  rm -f "$dir/meson-logs/testlog.junit.xml" "$dir/meson-logs/testlog.json"
  # GLib 2.74's slice allocator passes memory between threads under futex
  # locks that the thread checker cannot see; with plain malloc it sees all.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  G_SLICE=always-malloc \
    meson test -C "$dir" --no-rebuild --suite core --suite process --num-processes 2 --timeout-multiplier 3 \
      --print-errorlogs "${wrapper[@]}" | tail -n 15
  local p f
  read -r p f < <(count_cases "$dir")
  echo "$sanitize: $p passed, $f failed"
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-1}))
}

# The newest clang++ on the machine.
find_clang() {
  if command -v clang++ >/dev/null 2>&1; then
    command -v clang++
    return
  fi
  local best
  best=$(compgen -c clang++- | grep -E '^clang\+\+-[0-9]+$' | sort -t- -k2 -n | tail -n 1)
  [ -n "$best" ] && command -v "$best"
}

# fuzz_run TARGET CORPUS WHAT: builds fuzz/TARGET and runs it from CORPUS.
fuzz_run() {
  local target=$1 corpus=$2 what=$3
  echo "== fuzzing $what (${fuzz_seconds} s) =="
  local clang
  clang=$(find_clang)
  if [ -z "$clang" ]; then
    echo "no clang++ found: the libFuzzer target cannot be built (install clang)"
    failed=$((failed + 1))
    return
  fi
  local dir=$scratch/fuzz
  if ! CXX=$clang setup_build "$dir" -Dfuzz=true -Dtests=disabled -Dbenchmarks=disabled \
      -Db_sanitize=address,undefined -Db_lundef=false -Dbuildtype=debugoptimized; then
    failed=$((failed + 1))
    return
  fi
  if ! ninja -C "$dir" "fuzz/$target" >"$dir.build.log" 2>&1; then
    echo "building the fuzz target with $clang failed:"
    tail -n 30 "$dir.build.log"
    failed=$((failed + 1))
    return
  fi
  # New inputs go to a scratch copy; the corpus in the repository stays as it is.
  local work=$scratch/$target
  rm -rf "$work-corpus" "$work-artifacts"
  mkdir -p "$work-corpus" "$work-artifacts"
  if (cd "$work-artifacts" &&
      ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      timeout $((fuzz_seconds + 60)) "$dir/fuzz/$target" -max_total_time=$fuzz_seconds \
        -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
        "$work-corpus" "$root/$corpus" >"$work.run.log" 2>&1); then
    grep -E '^(Done|stat::number_of_executed_units)' "$work.run.log"
    echo "fuzz $target: passed"
    passed=$((passed + 1))
  else
    echo "fuzz $target: FAILED (crash inputs are kept in $work-artifacts)"
    tail -n 40 "$work.run.log"
    failed=$((failed + 1))
  fi
}

# copy_stress_run KIND: one window under an X server of its own, 30 copies of
# a run of 86,400 readings (Copy as KIND), 20 whole pastes and 10 killed,
# beside two CPU hogs that live as long as the window; every whole paste
# must be the copy, byte for byte, and the window must live and answer (a
# turn of its main loop late by over a second is told, not failed: beside
# the hogs, the scheduler decides those).
copy_stress_run() {
  local kind=$1 build log hogs=() status
  build=$(dirname "$scratch")
  log=$scratch/copy-stress-$kind.log
  if ! ninja -C "$build" bench/copy-stress >"$log" 2>&1; then
    echo "copy stress ($kind): FAILED to build"
    tail -n 30 "$log"
    failed=$((failed + 1))
    return
  fi
  sh -c 'while :; do :; done' & hogs+=($!)
  sh -c 'while :; do :; done' & hogs+=($!)
  local flags=(--kill-every 3 --stalls-allowed)
  [ "$kind" = text ] && flags+=(--text)
  GSK_RENDERER=cairo GSETTINGS_BACKEND=memory timeout -s KILL 900 \
    dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" \
    "$build/bench/copy-stress" "${flags[@]}" 86400 30 xclip >"$log" 2>&1
  status=$?
  kill "${hogs[@]}" 2>/dev/null
  wait "${hogs[@]}" 2>/dev/null
  grep '^SUMMARY' "$log" || echo "no summary: the window died or hung (exit $status)"
  if [ "$status" -eq 0 ]; then
    echo "copy stress ($kind): passed"
    passed=$((passed + 1))
  else
    echo "copy stress ($kind): FAILED (exit $status, log in $log)"
    grep -E 'FAILED|did not|no frame' "$log" | head -n 10
    failed=$((failed + 1))
  fi
}

sanitizer_run asan-ubsan address,undefined
sanitizer_run tsan thread
fuzz_run fuzz-iperf-parser fuzz/corpus "the parser and the standard-error filter"
fuzz_run fuzz-run-file fuzz/corpus-run-file "the reader of iperf3's JSON and run files"
copy_stress_run csv
copy_stress_run text

echo "RESULT $passed $failed"
[ "$failed" -eq 0 ]
