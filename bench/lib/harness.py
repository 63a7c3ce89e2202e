#!/usr/bin/python3
"""Runs Trellan's comparative benchmarks and prints one table.

Runs inside an X server and a private session bus (bench/run sets both up).
Every figure is a ratio of two things measured side by side in this run:

- the window against a bare libadwaita window that draws every frame
  (start-up to first frame, resident memory, CPU of an idle window) and
  against a static one that draws nothing once shown (CPU and frames drawn
  of an idle window), alternating the three, medians;
- fidelity: the rate the app shows after a client run against the rate the
  iperf3 command line reports on its own, alternating, median of the pairs,
  with each renderer; and the app's CPU time and frames drawn per second
  during those runs;
- a paced run: the app's CPU time and frames drawn per second while a
  stand-in for iperf3 gives it one reading a second, as a real test does,
  with each renderer, at the window's default size and at 3840×2160,
  against the goals for them;
- the parser, delivery and painting benchmarks against their goals;
- the runner soak: process state at the end against the start;
- the parser fuzz target: executions against the goal, with its crash count.

Usage: harness.py --build DIR [--fuzz-build DIR] --out FILE [--quick] [--paced-only]
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

sys.path.insert(0, HERE)
from figures import (  # noqa: E402
    Row, markdown_table, parse_cli_receiver, parse_app_receive, lift_gauge, lift_chart, lift_parser,
    lift_delivery, lift_start_stop, lift_run_log, parse_soak, parse_fuzz, ratio)


def log(*args):
    print(*args, file=sys.stderr, flush=True)


# ---- windows against a bare window ------------------------------------------

def probe(build, title, command, idle, env=None):
    """One start of a program under the window probe: a dict of its figures.
    A failed start is tried once more (and reported) before giving up."""
    for attempt in (1, 2):
        out = subprocess.run([f"{build}/bench/window-probe", "--idle", str(idle), title, "--",
                              *command], capture_output=True, text=True, timeout=idle + 60, env=env)
        if out.returncode == 0:
            return {k: float(v) for k, v in (kv.split("=") for kv in out.stdout.split())}
        log(f"  window probe of {command[0]} failed (attempt {attempt}): {out.stderr.strip()}")
        time.sleep(1)
    raise RuntimeError(f"window probe of {command[0]} failed twice")


WINDOWS = {"app": ("iperf3", ["src/trellan"]), "bare": ("bare window", ["bench/bare-window"]),
           "static": ("static window", ["bench/bare-window", "--static"])}


def windows(build, runs, idle, env=None, label=""):
    commands = {k: (title, [f"{build}/{cmd[0]}", *cmd[1:]]) for k, (title, cmd) in WINDOWS.items()}
    # One unmeasured start of each: the first start of a session pays for
    # font caches and the accessibility bus.
    for title, command in commands.values():
        probe(build, title, command, 1, env)
    results = {k: [] for k in commands}
    keys = list(commands)
    for i in range(runs):
        order = keys[i % len(keys):] + keys[:i % len(keys)]
        for key in order:
            title, command = commands[key]
            r = probe(build, title, command, idle, env)
            results[key].append(r)
            log(f"  windows{label} {i + 1}/{runs} {key:6}: " +
                " ".join(f"{k}={v:g}" for k, v in r.items()))
    return results


def median_of(results, key):
    return statistics.median(r[key] for r in results)


def window_rows(res, idle, label=""):
    a, b, s = res["app"], res["bare"], res["static"]
    n = len(a)
    return [
        Row(f"Start-up to first frame{label}", median_of(a, "startup_ms"), median_of(b, "startup_ms"),
            "ms", goal_max=1.1, note=f"median of {n} alternating starts each"),
        Row(f"Resident memory after start-up{label}", median_of(a, "rss_kb") / 1024,
            median_of(b, "rss_kb") / 1024, "MiB", goal_max=1.1,
            note=f"VmRSS 1 s after the first frame; Pss {median_of(a, 'pss_kb') / 1024:.1f} ÷ "
                 f"{median_of(b, 'pss_kb') / 1024:.1f} MiB"),
        Row(f"CPU of the idle window over {idle:g} s, against a static window{label}",
            median_of(a, "cpu_ms"), median_of(s, "cpu_ms"), "ms", goal_diff_max=20,
            note=f"the bare window drawing every frame: {median_of(b, 'cpu_ms'):,.0f} ms"),
        Row(f"Frames drawn per second by the idle window{label}", median_of(a, "fps"),
            median_of(s, "fps"), "", goal_diff_max=0,
            note=f"static window as reference; the bare window {median_of(b, 'fps'):.1f}"),
    ]


# ---- fidelity: app against the iperf3 command line --------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def app_client_run(build, port, duration, env):
    """The receive rate the app shows after a Client page test, its text, and
    the window probe's figures for the run (CPU time, frames drawn).

    Each run drives a new app from a new process: see app_driver.py."""
    out = subprocess.run([sys.executable, os.path.join(HERE, "app_driver.py"), "client-run",
                          f"{build}/src/trellan", str(port), str(duration),
                          "--probe", f"{build}/bench/window-probe"],
                         capture_output=True, text=True, timeout=duration + 90, env=env)
    lines = out.stdout.strip().splitlines()
    text = lines[0] if lines else ""
    rate = parse_app_receive(text)
    if out.returncode != 0 or rate is None or len(lines) != 2:
        raise RuntimeError(f"the app's client run failed: {out.stdout.strip()!r} "
                           f"{out.stderr.strip()[-500:]}")
    return rate, text, {k: float(v) for k, v in (kv.split("=") for kv in lines[1].split())}


def cli_client_run(port, duration):
    out = subprocess.run(["iperf3", "-c", "127.0.0.1", "-p", str(port), "-t", str(duration)],
                         capture_output=True, text=True, timeout=duration + 30)
    rate = parse_cli_receiver(out.stdout)
    if out.returncode != 0 or rate is None:
        raise RuntimeError(f"iperf3 -c failed: {out.stderr.strip() or out.stdout[-300:]}")
    return rate


# Copies what the real iperf3 prints for the app to a file, so that the figure
# the app shows can also be held against iperf3's own for the same run.
WRAPPER = """#!/bin/bash
exec > >(tee -a "{capture}")
exec {iperf3} "$@"
"""


def fidelity(build, pairs, duration, env, label=""):
    work = tempfile.mkdtemp(prefix="trellan-fidelity-")
    capture = os.path.join(work, "app-run.txt")
    with open(os.path.join(work, "iperf3"), "w") as f:
        f.write(WRAPPER.format(capture=capture, iperf3=shutil.which("iperf3")))
    os.chmod(os.path.join(work, "iperf3"), 0o755)
    env = dict(env, PATH=work + ":" + env.get("PATH", "/usr/bin:/bin"))
    port = free_port()
    server = subprocess.Popen(["iperf3", "-s", "-p", str(port)], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    try:
        time.sleep(0.5)
        app_rates, cli_rates, texts, own, probes = [], [], [], [], []
        for i in range(pairs):
            order = ["app", "cli"] if i % 2 == 0 else ["cli", "app"]
            for side in order:
                if side == "app":
                    if os.path.exists(capture):
                        os.remove(capture)
                    rate, text, figures = app_client_run(build, port, duration, env)
                    app_rates.append(rate)
                    texts.append(text)
                    probes.append(figures)
                    with open(capture) as f:
                        own.append(parse_cli_receiver(f.read()))
                else:
                    rate = cli_client_run(port, duration)
                    cli_rates.append(rate)
                log(f"  fidelity{label} {i + 1}/{pairs} {side}: {rate:.0f} Mbit/s")
                time.sleep(0.5)
        return app_rates, cli_rates, texts, own, probes
    finally:
        server.kill()
        server.wait()
        shutil.rmtree(work, ignore_errors=True)


def fidelity_rows(app_rates, cli_rates, own, probes, pairs, duration, label):
    cpu = [p["cpu_ms"] / p["idle_s"] for p in probes]
    fps = [p["fps"] for p in probes]
    shown_vs_own = [ratio(a, o) for a, o in zip(app_rates, own)]
    worst = None if None in shown_vs_own else max(shown_vs_own, key=lambda r: abs(r - 1))
    return [
        Row(f"Fidelity: app ÷ iperf3 CLI ({duration} s runs, loopback{label})",
            statistics.median(app_rates), statistics.median(cli_rates), "Mbit/s", goal_min=0.985,
            note=f"median of {pairs} alternating pairs; pair ratios " +
                 ", ".join(f"{a / c:.3f}" for a, c in zip(app_rates, cli_rates))),
        Row(f"Fidelity: app's shown rate ÷ iperf3's own summary of the same run{label}",
            worst, 1.0, "", goal_min=0.98, goal_max=1.02,
            note="the app's run furthest from 1; iperf3's output copied by a wrapper"),
        Row(f"App CPU per second of a client run{label}", statistics.median(cpu), 1000.0, "ms",
            note=f"median of {len(cpu)} runs at full loopback speed, against one core; "
                 f"from the press of the button, {duration - 0.5:g} s"),
        Row(f"Frames drawn per second during a client run{label}", statistics.median(fps), None, "",
            note=f"median of {len(fps)} runs; range {min(fps):.1f}–{max(fps):.1f}"),
    ]


# ---- a paced run: one reading a second ---------------------------------------

# Stands in for iperf3: the output of a client run on loopback, one interval
# line a second with rates as a loopback test gives them (they swing by up to
# a half, so the needle glides far after most readings; the full scale grows
# to 20 Gbit/s at the first and stays), for as many seconds as the app asks
# for with -t. At its second reading it writes a line into the named pipe
# $PACED_MARK, if set: the measured span starts there. With $PACED_FAST set it
# prints its readings without waiting (for the accessible object counts after
# long runs).
PACED_TOOL = r"""#!/bin/bash
t=3
while [ $# -gt 0 ]; do [ "$1" = -t ] && t=$2; shift; done
pause=1
[ -n "${PACED_FAST:-}" ] && pause=0
rates=(14.8 16.5 9.02 13.9 15.1 16.2 12.7 15.5 14.4 16.0)
echo "Connecting to host 127.0.0.1, port 5201"
echo "[  5] local 127.0.0.1 port 43730 connected to 127.0.0.1 port 5201"
echo "[ ID] Interval           Transfer     Bitrate         Retr  Cwnd"
for ((i = 0; i < t; i++)); do
  [ "$pause" = 0 ] || sleep 1
  printf '[  5] %5.2f-%-5.2f  sec  1.73 GBytes  %s Gbits/sec    0   2.50 MBytes\n' \
    "$i" "$((i + 1))" "${rates[i % 10]}"
  if [ "$i" = 1 ] && [ -n "${PACED_MARK:-}" ]; then echo 2 >"$PACED_MARK"; fi
done
echo "- - - - - - - - - - - - - - - - - - - - - - - - -"
echo "[ ID] Interval           Transfer     Bitrate         Retr"
printf '[  5]   0.00-%.2f   sec  16.4 GBytes  14.4 Gbits/sec    1             sender\n' "$t"
printf '[  5]   0.00-%.2f   sec  16.4 GBytes  14.4 Gbits/sec                  receiver\n' "$t"
echo
echo "iperf Done."
"""

# The goals for the app's CPU time per second of a paced run, in ms, by
# renderer and window size; None where the figure is only reported.
PACED_GOALS = {("cairo", "default"): 70, ("cairo", "3840×2160"): 250,
               ("default", "default"): 600, ("default", "3840×2160"): None}


def paced_tool(env):
    """A directory holding the stand-in, and `env` with it first on PATH."""
    work = tempfile.mkdtemp(prefix="trellan-paced-")
    with open(os.path.join(work, "iperf3"), "w") as f:
        f.write(PACED_TOOL)
    os.chmod(os.path.join(work, "iperf3"), 0o755)
    return work, dict(env, PATH=work + ":" + env.get("PATH", "/usr/bin:/bin"))


def drive(build, readings, env, extra, timeout):
    """One app_driver client run: its output lines."""
    cmd = [sys.executable, os.path.join(HERE, "app_driver.py"), "client-run",
           f"{build}/src/trellan", "5201", str(readings), *extra]
    # A session of its own, so that a run that overstays is ended with the app
    # and probe it started.
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                            start_new_session=True)
    try:
        stdout, stderr = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise
    lines = stdout.strip().splitlines()
    if proc.returncode != 0 or not lines or not lines[0].startswith("Result"):
        raise RuntimeError(f"the app's paced run failed: {stdout.strip()!r} {stderr.strip()[-500:]}")
    return lines


def paced(build, runs, readings, span, env, size):
    """The window probe's figures for `runs` paced runs of `readings` s, over
    `span` s from the second reading, with the accessible object counts
    before and after each run."""
    work, env = paced_tool(env)
    mark = os.path.join(work, "mark")
    os.mkfifo(mark)
    env = dict(env, PACED_MARK=mark)
    resize = [] if size is None else ["--size", size]
    try:
        results = []
        for i in range(runs):
            lines = drive(build, readings, env, ["--probe", f"{build}/bench/window-probe", *resize,
                                                 "--span", str(span), "--mark", mark, "--count"],
                          readings + 120)
            r = {k: float(v) for k, v in (kv.split("=") for kv in lines[1].split())}
            r.update({k: float(v) for k, v in (kv.split("=") for kv in lines[2].split()[1:])})
            results.append(r)
            log(f"  paced {i + 1}/{runs}: {r['cpu_ms'] / r['idle_s']:.0f} ms/s, {r['fps']:.1f} frames/s, "
                f"load {os.getloadavg()[0]:.1f}")
        return results
    finally:
        shutil.rmtree(work, ignore_errors=True)


def paced_rows(results, renderer, size_label, span):
    cpu = [r["cpu_ms"] / r["idle_s"] for r in results]
    fps = [r["fps"] for r in results]
    goal = PACED_GOALS[(renderer, size_label)]
    where = f"{renderer} renderer, {'560×680' if size_label == 'default' else size_label}"
    return [
        Row(f"App CPU per second of a paced run ÷ goal, {where}", statistics.median(cpu), goal,
            "ms", goal_max=None if goal is None else 1.0,
            note=f"median of {len(cpu)} runs of one reading a second, all threads, {span:g} s from "
                 f"the second reading; runs " + ", ".join(f"{c:.0f}" for c in cpu)),
        Row(f"Frames drawn per second of a paced run, {where}", statistics.median(fps), None, "",
            note=f"median of {len(fps)} runs; range {min(fps):.1f}–{max(fps):.1f}"),
    ]


def idle_app(build, runs, idle, env, label):
    """The app's CPU time and frames over `idle` s with nobody touching it."""
    title, cmd = WINDOWS["app"]
    results = [probe(build, title, [f"{build}/{cmd[0]}"], idle, env) for _ in range(runs)]
    cpu = [r["cpu_ms"] for r in results]
    fps = [r["fps"] for r in results]
    return [
        Row(f"CPU of the idle window over {idle:g} s{label}", statistics.median(cpu), 0.0, "ms",
            goal_diff_max=0, note=f"median of {runs} starts; runs " + ", ".join(f"{c:.0f}" for c in cpu)),
        Row(f"Frames drawn per second by the idle window{label}", statistics.median(fps), 0.0, "",
            goal_diff_max=0, note=f"median of {runs} starts; range {min(fps):.1f}–{max(fps):.1f}"),
    ]


def accessible_counts(build, env, counts):
    """The accessible object count at start and after a paced run, and after
    runs of 50 and 3,600 readings given at once (the count does not depend on
    their pace)."""
    rows = [Row("Accessible objects at start", counts[0][0], None, "", note="the Client page shown"),
            Row("Accessible objects after a paced run ÷ at start", counts[0][1], counts[0][0], "",
                note=f"{PACED_READINGS} readings")]
    work, env = paced_tool(env)
    env = dict(env, PACED_FAST="1")
    try:
        for readings in (50, 3600):
            try:
                lines = drive(build, readings, env, ["--count"], 300 if readings > 50 else 120)
            except (RuntimeError, subprocess.TimeoutExpired) as e:
                log(f"  accessible objects after {readings} readings: not counted: {e}")
                rows.append(Row(f"Accessible objects after a run of {readings:,} readings", None, None, "",
                                note="not counted: the run and the walk did not end within "
                                     f"{5 if readings > 50 else 2} min"))
                continue
            before, after = (int(kv.split("=")[1]) for kv in lines[1].split()[1:])
            log(f"  accessible objects: {before} at start, {after} after {readings} readings")
            rows.append(Row(f"Accessible objects after a run of {readings:,} readings ÷ at start",
                            after, before, "", goal_max=2.0 if readings == 3600 else None,
                            note="readings given at once"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return rows


def accessibility_bus_on():
    """Whether the accessibility bus and its registry answer (GTK talks to
    them whenever they do; GTK_A11Y must be left unset)."""
    out = subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                          "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
                         capture_output=True, text=True, timeout=30)
    m = re.search(r'string "([^"]+)"', out.stdout)
    if not m:
        return False
    reg = subprocess.run(["dbus-send", f"--bus={m.group(1)}", "--print-reply",
                          "--dest=org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                          "org.a11y.atspi.Accessible.GetChildren"],
                         capture_output=True, text=True, timeout=30)
    return reg.returncode == 0


# A paced run: the app asks for this many readings, and the span measured runs
# this long from the second.
PACED_READINGS, PACED_SPAN = 13, 10.0


def paced_section(build, runs, readings, span, idle_runs):
    if os.environ.pop("GTK_A11Y", None) is not None:
        log("GTK_A11Y unset: the paced runs measure the app with its accessibility on")
    if not accessibility_bus_on():
        raise RuntimeError("the accessibility bus or its registry does not answer")
    rows = []
    counts = []
    cairo = dict(os.environ, GSK_RENDERER="cairo")
    for renderer, env in (("cairo", cairo), ("default", dict(os.environ))):
        for size_label, size in (("default", None), ("3840×2160", "3840x2160")):
            log(f"paced run, {renderer} renderer, {size_label} size")
            results = paced(build, runs, readings, span, env, size)
            counts += [(r["before"], r["after"]) for r in results]
            rows += paced_rows(results, renderer, size_label, span)
        log(f"idle window, {renderer} renderer")
        rows += idle_app(build, idle_runs, 10.0, env, f", {renderer} renderer")
    rows += accessible_counts(build, cairo, counts)
    return rows


# ---- benchmark programs, soak, fuzzing --------------------------------------

def bench_programs(build):
    """The outputs of the project's benchmark programs, by benchmark name."""
    listed = json.loads(subprocess.run(["meson", "introspect", "--benchmarks"], cwd=build,
                                       capture_output=True, text=True, check=True).stdout)
    outputs = {}
    for b in listed:
        env = dict(os.environ, **b.get("env", {}))
        log(f"  benchmark {b['name']}")
        out = subprocess.run(b["cmd"], capture_output=True, text=True, env=env,
                             cwd=b.get("workdir") or build, timeout=b.get("timeout") or 300)
        outputs[b["name"]] = (out.returncode, out.stdout + out.stderr)
    return outputs


def soak(build, cycles):
    log(f"  soak: {cycles} start/stop cycles")
    out = subprocess.run([f"{build}/bench/bench-soak", str(cycles), "5000"], capture_output=True,
                         text=True, timeout=1800)
    return out.returncode, out.stdout + out.stderr


def fuzz(fuzz_build, runs, workers=2):
    targets = json.loads(subprocess.run(["meson", "introspect", "--targets"], cwd=fuzz_build,
                                        capture_output=True, text=True, check=True).stdout)
    exes = [t["filename"][0] for t in targets
            if t["type"] == "executable" and t["name"].startswith("fuzz-")]
    results = []
    for exe in exes:
        # One worker per core, each with its own copy of the corpus, splitting
        # the executions. Inputs are kept to a few lines (-max_len=512): far
        # more executions per second, and in a short run more coverage too.
        with tempfile.TemporaryDirectory(prefix="trellan-fuzz-") as work:
            log(f"  fuzz: {os.path.basename(exe)} for {runs} executions, {workers} workers")
            started = time.time()
            procs = []
            for w in range(workers):
                corpus = os.path.join(work, f"corpus{w}")
                shutil.copytree(os.path.join(ROOT, "fuzz", "corpus"), corpus)
                err = open(os.path.join(work, f"log{w}"), "w+")
                procs.append((subprocess.Popen(
                    [exe, f"-runs={runs // workers}", "-max_len=512", f"-seed={w + 1}",
                     f"-artifact_prefix={work}/w{w}-", corpus],
                    stdout=subprocess.DEVNULL, stderr=err, cwd=work), err))
            codes, logs = [], []
            for proc, err in procs:
                codes.append(proc.wait(timeout=3600))
                err.seek(0)
                logs.append(err.read())
                err.close()
            artifacts = [f for f in os.listdir(work) if f.startswith("w")]
            results.append((os.path.basename(exe), codes, logs, time.time() - started, artifacts))
    return results


# ---- the table -----------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--fuzz-build")
    ap.add_argument("--out", required=True)
    ap.add_argument("--quick", action="store_true", help="fewer, shorter runs (not the real figures)")
    ap.add_argument("--paced-only", action="store_true", help="only the paced runs")
    args = ap.parse_args()

    build = os.path.abspath(args.build)
    window_runs, idle = (5, 10.0) if not args.quick else (2, 2.0)
    pairs, duration = (9, 3) if not args.quick else (2, 2)
    cycles = 10_000 if not args.quick else 500
    fuzz_runs = 10_000_000 if not args.quick else 100_000
    paced_runs, paced_readings, paced_span = (3, PACED_READINGS, PACED_SPAN) if not args.quick \
        else (1, 6, 3.0)

    load_before = os.getloadavg()
    started = time.time()
    rows, details = [], []

    # GTK's default renderer here is GL on Mesa's software rasteriser, which
    # no desktop with a graphics card uses; the cairo renderer is the other
    # end of the range. Both windows always get the same one.
    cairo = dict(os.environ, GSK_RENDERER="cairo")
    rows += paced_section(build, paced_runs, paced_readings, paced_span, 3 if not args.quick else 1)
    if args.paced_only:
        finish(args, rows, [], started, load_before)
        return
    for label, env in ((", default renderer", None), (", cairo renderer", cairo)):
        log(f"windows{label}: Trellan against a bare libadwaita window")
        rows += window_rows(windows(build, window_runs, idle, env, label), idle, label)

    for label, env in ((", default renderer", dict(os.environ)), (", cairo renderer", cairo)):
        log(f"fidelity{label}: the app's shown rate against the iperf3 command line")
        app_rates, cli_rates, texts, own, probes = fidelity(build, pairs, duration, env, label)
        rows += fidelity_rows(app_rates, cli_rates, own, probes, pairs, duration, label)
        details.append(f"Fidelity runs{label} (Mbit/s): app " +
                       ", ".join(f"{r:.0f}" for r in app_rates) +
                       "; iperf3's own figure for those runs " +
                       ", ".join("—" if r is None else f"{r:.0f}" for r in own) +
                       "; CLI " + ", ".join(f"{r:.0f}" for r in cli_rates) +
                       "; app CPU ms/s " +
                       ", ".join(f"{p['cpu_ms'] / p['idle_s']:.0f}" for p in probes) +
                       "; frames/s " + ", ".join(f"{p['fps']:.1f}" for p in probes) +
                       f". Last status text: “{texts[-1]}”")

    log("benchmark programs")
    outputs = bench_programs(build)
    text = "\n".join(o for _, o in outputs.values())
    rows += lift_gauge(text) + lift_chart(text) + lift_parser(text) + lift_delivery(text) + lift_start_stop(text)
    rows += lift_run_log(text)
    for name, (code, out) in outputs.items():
        details.append(f"`{name}` (exit {code}):\n\n```\n{out.strip()}\n```")

    code, out = soak(build, cycles)
    rows += parse_soak(out, cycles)
    details.append(f"Soak (exit {code}):\n\n```\n{out.strip()}\n```")

    if args.fuzz_build:
        for name, codes, logs, seconds, artifacts in fuzz(os.path.abspath(args.fuzz_build), fuzz_runs):
            rows += parse_fuzz(name, codes, logs, fuzz_runs, seconds, artifacts)
            tails = "\n".join("\n".join(log.strip().splitlines()[-3:]) for log in logs)
            details.append(f"Fuzz `{name}` (exits {codes}, {seconds:.0f} s):\n\n```\n{tails}\n```")
    else:
        rows.append(Row("Fuzz target", None, None, "", note="not built (needs clang)"))

    finish(args, rows, details, started, load_before)


def finish(args, rows, details, started, load_before):
    minutes = (time.time() - started) / 60
    load_after = os.getloadavg()
    header = (f"Measured {time.strftime('%Y-%m-%d %H:%M')} on {os.cpu_count()} CPUs under Xvfb, "
              f"in {minutes:.1f} min; load average {load_before[0]:.1f} before, "
              f"{load_after[0]:.1f} after." + (" QUICK RUN: not the real figures." if args.quick else ""))
    table = markdown_table(rows)
    doc = f"{header}\n\n{table}\n\n" + "\n\n".join(details) + "\n"
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        f.write(doc)
    print(header)
    print()
    print(table)
    print(f"\n(also written to {args.out}, with the raw outputs)")


if __name__ == "__main__":
    main()
