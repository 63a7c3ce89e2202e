"""Reading figures out of program outputs and status texts, and the table.

Pure functions only, so that they can be checked without running anything.
"""
import re
from dataclasses import dataclass
from typing import Optional

FRAME_MS = 1000.0 / 60.0

# iperf3 and the app both count in powers of 1,000.
_UNIT_MBPS = {"": 1e-6, "K": 1e-3, "M": 1.0, "G": 1e3, "T": 1e6}


@dataclass
class Row:
    figure: str
    measured: Optional[float]
    reference: Optional[float]
    unit: str
    goal_max: Optional[float] = None  # on the ratio
    goal_min: Optional[float] = None
    note: str = ""
    exact: Optional[bool] = None  # a pass/fail figure that has no ratio
    goal_diff_max: Optional[float] = None  # on measured - reference, in the unit

    @property
    def ratio(self):
        return ratio(self.measured, self.reference)

    @property
    def met(self):
        if self.exact is not None:
            return self.exact
        if self.goal_diff_max is not None:
            if self.measured is None or self.reference is None:
                return None
            return self.measured - self.reference <= self.goal_diff_max
        r = self.ratio
        if r is None:
            return None
        if self.goal_max is not None and r > self.goal_max:
            return False
        if self.goal_min is not None and r < self.goal_min:
            return False
        if self.goal_max is None and self.goal_min is None:
            return None
        return True

    @property
    def goal(self):
        if self.goal_diff_max is not None:
            unit = f" {self.unit}" if self.unit else ""
            return f"≤ reference + {self.goal_diff_max:g}{unit}"
        if self.goal_max is not None and self.goal_min is not None:
            return f"{self.goal_min:g} – {self.goal_max:g}"
        if self.goal_max is not None:
            return f"≤ {self.goal_max:g}"
        if self.goal_min is not None:
            return f"≥ {self.goal_min:g}"
        return "—"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def fmt(v):
    """A figure with about three significant digits, no exponent."""
    if v is None:
        return "—"
    if v == 0:
        return "0"
    a = abs(v)
    if a >= 100:
        return f"{v:,.0f}"
    if a >= 10:
        return f"{v:.1f}"
    if a >= 1:
        return f"{v:.2f}"
    if a >= 0.01:
        return f"{v:.3f}"
    return f"{v:.2g}"


def markdown_table(rows):
    lines = ["| Figure | Trellan | Reference | Ratio | Goal | Met | Notes |",
             "|---|---:|---:|---:|---|---|---|"]
    for r in rows:
        unit = f" {r.unit}" if r.unit and r.measured is not None else ""
        ref_unit = f" {r.unit}" if r.unit and r.reference is not None else ""
        met = {True: "yes", False: "**no**", None: ""}[r.met]
        lines.append(f"| {r.figure} | {fmt(r.measured)}{unit} | {fmt(r.reference)}{ref_unit} | "
                     f"{fmt(r.ratio)} | {r.goal} | {met} | {r.note} |")
    return "\n".join(lines)


# ---- rates ---------------------------------------------------------------------

def rate_mbps(number, unit):
    """'12.6', 'Gbits/sec' or 'Gbit/s' to Mbit/s; None for an unknown unit."""
    m = re.fullmatch(r"([KMGT]?)bits?/s(?:ec)?", unit)
    if not m:
        return None
    return float(number) * _UNIT_MBPS[m.group(1)]


def parse_cli_receiver(stdout):
    """The receiver's rate in iperf3's client summary, in Mbit/s."""
    for line in stdout.splitlines():
        m = re.search(r"\s([\d.]+)\s+(\S+)\s+(?:\d+\s+)?receiver\s*$", line)
        if m:
            return rate_mbps(m.group(1), m.group(2))
    return None


def parse_app_receive(text):
    """The receive rate of the app's 'Result — send: … · receive: …' text."""
    m = re.fullmatch(r"Result — send: \S+ \S+ · receive: ([\d.]+) (\S+)", text.strip())
    return rate_mbps(m.group(1), m.group(2)) if m else None


# ---- the benchmark programs' outputs --------------------------------------------

def lift_gauge(text):
    """The frame painter's costliest scene per size against a 60 Hz frame,
    with the plain painter's figure for the same scene in the note."""
    rows = []
    worst, plain = {}, {}
    for m in re.finditer(r"(gauge frame|paint_gauge)\s+(\d+)x(\d+)\s+(.+?)\s+([\d.]+) us/frame",
                         text):
        size = (int(m.group(2)), int(m.group(3)))
        scene, us = m.group(4).strip(), float(m.group(5))
        if m.group(1) == "paint_gauge":
            plain[size, scene] = us
        elif size not in worst or us > worst[size][0]:
            worst[size] = (us, scene)
    for (w, h), (us, scene) in sorted(worst.items()):
        goal = 0.02 if w * h <= 360 * 240 else 0.10
        note = f"costliest scene: {scene}"
        if (w, h) in [k[0] for k in plain] and ((w, h), scene) in plain:
            note += f"; plain painter (paint_gauge) {plain[(w, h), scene] / 1000:.3g} ms"
        rows.append(Row(f"Gauge paint {w}×{h}, one frame ÷ 16.7 ms", us / 1000, FRAME_MS, "ms",
                        goal_max=goal, note=note))
    m = re.search(r"tick step\s+([\d.]+) ns/frame", text)
    if m:
        rows.append(Row("Gauge tick step ÷ 16.7 ms", float(m.group(1)) / 1e3, FRAME_MS * 1e3, "µs"))
    return rows


def lift_chart(text):
    """The run chart's frame for a day of readings against its 2 ms goal (the
    processor time, which other loads on the machine do not inflate)."""
    rows = []
    for m in re.finditer(r"chart frame\s+(\d+) readings\s+(\d+)x(\d+) at scale (\d+)\s+([\d.]+) ms/frame of "
                         r"processor time.*?([\d.]+) ms on the clock", text):
        rows.append(Row(f"Chart frame, {int(m.group(1)):,} readings at {m.group(2)}×{m.group(3)}, "
                        f"scale {m.group(4)} ÷ 2 ms", float(m.group(5)), 2.0, "ms",
                        goal_max=1.0 if m.group(4) == "1" else None,
                        note=f"{float(m.group(6)):.3g} ms on the clock"))
    return rows


def lift_parser(text):
    m = re.search(r"parser: ([\d.]+) M lines/s, ([\d.]+) MB/s", text)
    if not m:
        return [Row("Parser throughput", None, None, "", note="not reported")]
    return [Row("Parser throughput ÷ goal", float(m.group(1)), 10.0, "M lines/s", goal_min=1.0,
                note=f"{m.group(2)} MB/s on captured iperf3 output")]


def lift_run_log(text):
    """The run log's heap for 100 hour-long runs against the text iperf3
    printed for their intervals."""
    m = re.search(r"run log: (\d+) runs x (\d+) intervals: ([\d.]+) MB on the heap \((\d+) B per interval\), "
                  r"resident \+([\d.]+) MB; iperf3 printed ([\d.]+) MB", text)
    if not m:
        return [Row("Run log memory", None, None, "", note="not reported")]
    return [Row(f"Run log, {int(m.group(1))} runs × {int(m.group(2)):,} intervals ÷ iperf3's text for them",
                float(m.group(3)), float(m.group(6)), "MB",
                note=f"{m.group(4)} B per interval; resident +{m.group(5)} MB")]


def lift_delivery(text):
    rows = []
    for m in re.finditer(r"delivery \(([^)]*)\): p50 ([\d.]+) us, p99 ([\d.]+) us", text):
        paced = "burst" not in m.group(1)
        rows.append(Row(f"Delivery p99 ÷ 2 ms ({m.group(1)})", float(m.group(3)) / 1000, 2.0, "ms",
                        goal_max=1.0 if paced else None,
                        note=f"p50 {float(m.group(2)) / 1000:.3f} ms" +
                             ("" if paced else "; a flood, not the goal's case")))
    if not rows:
        rows.append(Row("Delivery", None, None, "", note="not reported"))
    return rows


def lift_start_stop(text):
    rows = []
    for m in re.finditer(r"start/stop \(([^)]*)\): .*?([\d.]+) ms/cycle", text):
        rows.append(Row(f"Start/stop cycle, fake tool ({m.group(1)})", float(m.group(2)), None, "ms"))
    return rows


def parse_soak(out, cycles):
    snap = {}
    for m in re.finditer(r"^(start|end)\s+(.*)$", out, re.M):
        snap[m.group(1)] = {k: float(v) for k, v in (kv.split("=") for kv in m.group(2).split())}
    tail = re.search(r"cycles=(\d+) seconds=([\d.]+) rate=(\d+)/s events=(\d+) bad_endings=(\d+)", out)
    if "start" not in snap or "end" not in snap or not tail:
        return [Row(f"Soak, {cycles} start/stop cycles", None, None, "", exact=False,
                    note="did not finish: " + out.strip()[-200:].replace("\n", " "))]
    s, e = snap["start"], snap["end"]
    done = f"{tail.group(1)} cycles in {float(tail.group(2)):.0f} s"
    return [
        Row("Soak: descriptors, end ÷ start", e["fds"], s["fds"], "", goal_max=1.0, note=done),
        Row("Soak: threads, end ÷ start", e["threads"], s["threads"], "", goal_max=1.0),
        Row("Soak: zombie and leftover children at the end", e["zombies"] + e["children"],
            s["zombies"] + s["children"], "", exact=e["zombies"] + e["children"] == 0,
            note="goal 0"),
        Row("Soak: resident memory, end ÷ start", e["rss_kb"] / 1024, s["rss_kb"] / 1024, "MiB",
            note="random stop delays 0–5 ms"),
        Row("Soak: runs not ending with exactly one Exited, last", float(tail.group(5)), None, "",
            exact=tail.group(5) == "0", note="goal 0"),
    ]


def parse_fuzz(name, codes, logs, wanted, seconds, artifacts=()):
    """Rows for one fuzz target run as several workers (exit codes and logs)."""
    done = 0
    for log in logs:
        m = re.search(r"Done (\d+) runs in (\d+) second", log)
        done += int(m.group(1)) if m else 0
    crashed = any(codes) or bool(artifacts) or any(
        re.search(r"deadly signal|ERROR: libFuzzer|==ERROR", log) for log in logs)
    cov = [int(m.group(1)) for log in logs for m in re.finditer(r"cov: (\d+)", log)]
    note = f"{len(logs)} workers, {done / max(seconds, 1e-9) / 1e3:.0f} k execs/s"
    if cov:
        note += f", coverage {max(cov)} edges"
    return [
        Row(f"Fuzz {name}: executions ÷ {wanted / 1e6:g} M", float(done), float(wanted), "", goal_min=1.0,
            note=note + "; on copies of fuzz/corpus"),
        Row(f"Fuzz {name}: crashes", 1.0 if crashed else 0.0, None, "", exact=not crashed,
            note="goal 0" + (f"; exits {codes}, artifacts {list(artifacts)}" if crashed else "")),
    ]
