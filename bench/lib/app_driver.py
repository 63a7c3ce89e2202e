"""Driving a Trellan process through the accessibility bus.

libatspi learns of applications that register after its first look at the
desktop only through a cache interface that GTK 4 does not offer, so an app
started later never shows up in that process. Hence the order here: start
the app, wait on the plain D-Bus registry until it has registered, and only
then touch libatspi, once per process. Whoever needs a second app runs a
second process (see `client-run` below).

    app_driver.py client-run EXE PORT DURATION [--probe PROBE] [--size WxH]
                  [--span S] [--mark FIFO] [--count]
        starts the app, runs its Client page's test against 127.0.0.1:PORT
        for DURATION seconds, prints the final status text, kills the app.
        With --probe (bench/lib/window_probe.cpp's program) the app is
        started under it, and a second line gives the probe's figures for
        the run: the app's CPU time (all its threads) and the frames its
        window drew over S seconds (--span; default DURATION - 0.5) from the
        press of the button, or with --mark from when the tool the app runs
        writes a line into the named pipe FIFO (the paced stand-in does at
        its second reading). With --size the probe resizes the window to
        that size before the run. With --count a last line gives the number
        of accessible objects the app offers before the run and after it.
"""
import argparse
import os
import select
import signal
import subprocess
import sys
import time

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402


def _a11y_bus():
    session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    reply = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None,
                              GLib.VariantType("(s)"), Gio.DBusCallFlags.NONE, 10000, None)
    flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
             Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
    return Gio.DBusConnection.new_for_address_sync(reply.unpack()[0], flags, None, None)


def _registered_pids(bus):
    reply = bus.call_sync("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                          "org.a11y.atspi.Accessible", "GetChildren", None,
                          GLib.VariantType("(a(so))"), Gio.DBusCallFlags.NONE, 10000, None)
    pids = set()
    for name, _path in reply.unpack()[0]:
        try:
            pid = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                "GetConnectionUnixProcessID", GLib.Variant("(s)", (name,)),
                                GLib.VariantType("(u)"), Gio.DBusCallFlags.NONE, 10000, None)
            pids.add(pid.unpack()[0])
        except GLib.Error:
            pass  # gone meanwhile
    return pids


def wait_registered(pid, timeout=120):
    """Waits until the process `pid` has registered on the accessibility bus."""
    bus = _a11y_bus()
    deadline = time.time() + timeout
    while pid not in _registered_pids(bus):
        if time.time() > deadline:
            raise RuntimeError(f"process {pid} did not register on the accessibility bus")
        time.sleep(0.05)
    bus.close_sync(None)


class App:
    """The accessible side of one running Trellan process."""

    # Deadlines are generous: on a busy machine the app and the accessibility
    # bus may take many times longer than on a quiet one.
    def __init__(self, pid, timeout=120):
        wait_registered(pid, timeout)
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi
        self.Atspi = Atspi
        self.Role = Atspi.Role
        deadline = time.time() + timeout
        self.root = None
        while self.root is None:
            desktop = Atspi.get_desktop(0)
            for i in range(desktop.get_child_count()):
                app = desktop.get_child_at_index(i)
                if app is not None and app.get_process_id() == pid:
                    # Names change while a run goes on: always ask the app.
                    app.set_cache_mask(Atspi.Cache.NONE)
                    self.root = app
            if self.root is None:
                if time.time() > deadline:
                    raise RuntimeError(f"process {pid} is not on the accessibility desktop")
                time.sleep(0.1)

    def _walk(self, node):
        yield node
        for i in range(node.get_child_count()):
            child = node.get_child_at_index(i)
            if child is not None:
                yield from self._walk(child)

    def count(self):
        """The accessible objects the app offers, the application included."""
        self.root.set_cache_mask(self.Atspi.Cache.DEFAULT)  # a walk asks a lot
        self.root.clear_cache()
        n = sum(1 for _ in self._walk(self.root))
        self.root.set_cache_mask(self.Atspi.Cache.NONE)
        return n

    def find(self, wanted, timeout=120):
        """The first node of each (role, name) in `wanted`, in tree order."""
        deadline = time.time() + timeout
        while True:
            found = {}
            for node in self._walk(self.root):
                key = (node.get_role(), node.get_name())
                if key in wanted and key not in found:
                    found[key] = node
            if len(found) == len(wanted):
                return [found[k] for k in wanted]
            if time.time() > deadline:
                missing = [k for k in wanted if k not in found]
                raise RuntimeError(f"waited {timeout} s for {missing} in the window; not there")
            time.sleep(0.2)

    def press(self, node):
        if not self.Atspi.Action.do_action(node, 0):
            raise RuntimeError(f"could not press {node.get_name()!r}")

    def set_value(self, spin, value):
        # A busy app may answer with the old value for a while.
        self.Atspi.Value.set_current_value(spin, value)
        deadline = time.time() + 60
        while self.Atspi.Value.get_current_value(spin) != value:
            if time.time() > deadline:
                raise RuntimeError(f"waited 60 s for {spin.get_name()!r} to take {value}; it did not")
            time.sleep(0.1)

    @staticmethod
    def name(node):
        node.clear_cache()
        return node.get_name() or ""

    def wait_name(self, node, accept, timeout):
        """Polls a node's name until `accept(name)`; the last name seen."""
        deadline = time.time() + timeout
        text = self.name(node)
        while not accept(text) and time.time() < deadline:
            time.sleep(0.05)
            text = self.name(node)
        return text


def wait_mark(fd, timeout):
    """Waits until a line arrives in the named pipe open on `fd`."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        ready, _, _ = select.select([fd], [], [], max(deadline - time.time(), 0))
        if ready and os.read(fd, 64):
            return
        if ready:
            time.sleep(0.05)  # no writer yet: select reports the pipe readable at EOF
    raise RuntimeError(f"the tool gave no mark within {timeout} s")


def client_run(exe, port, duration, probe=None, size=None, span=None, mark=None, count=False):
    """Starts the app and runs its Client page's test; the final status text,
    the probe's figure line (or None) and the accessible object counts before
    and after the run (or None)."""
    mark_fd = None
    if mark:
        # Opened before the run, without blocking, so that the tool's write
        # never waits for a reader.
        mark_fd = os.open(mark, os.O_RDONLY | os.O_NONBLOCK)
    if span is None:
        span = max(duration - 0.5, 0.5)
    if probe:
        resize = ["--size", size] if size else []
        proc = subprocess.Popen([probe, "--on-signal", "1", "--settle", "0.5", "--idle",
                                 str(span), *resize, "iperf3", "--", exe],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = proc.stderr.readline()
        if not line.startswith("pid="):
            proc.kill()
            raise RuntimeError(f"window probe: {line.strip()} {proc.stderr.read().strip()}")
        pid = int(line[4:])
    else:
        proc = subprocess.Popen([exe], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        pid = proc.pid
    try:
        app = App(pid)
        R = app.Role
        port_spin, duration_spin, status, start = app.find(
            [(R.SPIN_BUTTON, "Port"), (R.SPIN_BUTTON, "Duration (s)"), (R.LABEL, "Ready."),
             (R.PUSH_BUTTON, "Start test")])
        app.set_value(port_spin, port)
        app.set_value(duration_spin, duration)
        counts = [app.count()] if count else None
        app.press(start)
        started = time.time()
        if probe:
            if mark_fd is not None:
                wait_mark(mark_fd, 60)
            proc.send_signal(signal.SIGUSR1)  # the measured span begins
        # Stay off the accessibility bus while a measured test runs: every
        # question costs the app time that the measurement would pay for. A
        # run that is only counted may be given its readings at once, so its
        # end is waited for rather than its duration.
        figures = proc.stdout.readline().strip() if probe else None  # at the span's end
        if probe:
            time.sleep(max(duration - (time.time() - started), 0))
        text = app.wait_name(status, lambda t: t.startswith(("Result", "iperf3")), duration + 60)
        app.wait_name(start, lambda t: t == "Start test", 30)  # the run has ended
        if count:
            counts.append(app.count())
        if probe:
            proc.send_signal(signal.SIGUSR1)  # the app may go
            proc.wait(timeout=10)
        return text, figures, counts
    finally:
        if mark_fd is not None:
            os.close(mark_fd)
        proc.kill()
        proc.wait()
        if probe:
            try:
                os.kill(pid, signal.SIGKILL)  # the probe's child, should the probe have failed
            except ProcessLookupError:
                pass


if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] != "client-run":
        sys.exit(__doc__)
    ap = argparse.ArgumentParser(prog="app_driver.py client-run")
    ap.add_argument("exe")
    ap.add_argument("port", type=int)
    ap.add_argument("duration", type=int)
    ap.add_argument("--probe")
    ap.add_argument("--size")
    ap.add_argument("--span", type=float)
    ap.add_argument("--mark")
    ap.add_argument("--count", action="store_true")
    a = ap.parse_args(sys.argv[2:])
    text, figures, counts = client_run(os.path.abspath(a.exe), a.port, a.duration, a.probe, a.size,
                                       a.span, a.mark, a.count)
    print(text)
    if figures is not None:
        print(figures)
    if counts is not None:
        print(f"accessibles before={counts[0]} after={counts[1]}")
