#!/usr/bin/python3
"""Drives a running Trellan window through the accessibility bus: starts the
Server page's server, runs the Client page's test against it on loopback,
opens the Runs page, takes screenshots and closes the window.

Usage: drive.py SHOT_TOOL OUT_DIR [NAME_SUFFIX [PORT]]

PORT (default 5201, the form's own) is set in both pages' port fields.
"""
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

SHOT, OUT = sys.argv[1], sys.argv[2]
SUFFIX = sys.argv[3] if len(sys.argv) > 3 else ""
PORT = int(sys.argv[4]) if len(sys.argv) > 4 else 5201


# How long the drive waits for what it needs before it gives up. Generous: on
# a busy machine the app and the accessibility bus may take many times longer
# than on a quiet one, and a slow machine must not read as a broken app.
PATIENCE = 180


class Events:
    """Accessibility events from the app: a wait for something in the window
    sleeps until the window changes (a child added or removed, a name or a
    state changed), not on a timer."""

    KINDS = ("object:children-changed", "object:property-change:accessible-name",
             "object:state-changed", "window:activate")

    def __init__(self):
        self.count = 0
        self.listener = Atspi.EventListener.new(self._seen)
        for kind in self.KINDS:
            self.listener.register(kind)

    def _seen(self, _event):
        self.count += 1

    def wait(self, seconds):
        """Returns once an event came or `seconds` passed."""
        seen = self.count
        context = GLib.MainContext.default()
        deadline = time.time() + seconds
        while self.count == seen and time.time() < deadline:
            if not context.iteration(False):
                time.sleep(0.01)


EVENTS = Events()


def find_app(timeout=PATIENCE):
    deadline = time.time() + timeout
    while time.time() < deadline:
        desktop = Atspi.get_desktop(0)
        desktop.clear_cache()
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_name() == "trellan":
                return app
        time.sleep(0.2)
    sys.exit(f"drive: waited {timeout} s for the app to show up on the accessibility bus; "
             "it did not")


def walk(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def locate(app, role, name, what, timeout=PATIENCE):
    """The widget with this role and accessible name, as the window shows it
    now (switching pages re-creates the accessible objects of a page). The
    tree is walked again whenever the window changes, and at the latest every
    few seconds; `what` says what the widget is, for the message on giving up."""
    started = time.time()
    deadline = started + timeout
    while True:
        app.set_cache_mask(Atspi.Cache.DEFAULT)  # a walk asks a lot
        app.clear_cache()
        count = 0
        for node in walk(app):
            count += 1
            if node.get_role() == role and node.get_name() == name:
                return node
        if time.time() >= deadline:
            sys.exit(f"drive: gave up after {time.time() - started:.0f} s waiting for {what}: "
                     f"no {role.value_nick} {name!r} among the {count} accessible objects of "
                     "the window (the app may be too slow here rather than broken)")
        EVENTS.wait(min(5.0, max(deadline - time.time(), 0)))


def wait_for(node, test, what, timeout=PATIENCE):
    APP.set_cache_mask(Atspi.Cache.NONE)  # the texts change while a run goes on
    started = time.time()
    deadline = started + timeout
    while True:
        text = node.get_name() or ""
        if test(text):
            return text
        if time.time() >= deadline:
            sys.exit(f"drive: gave up after {time.time() - started:.0f} s waiting for {what}; "
                     f"the window shows {text!r}")
        EVENTS.wait(min(2.0, max(deadline - time.time(), 0)))


def press(node):
    Atspi.Action.do_action(node, 0)


def set_port(app, name):
    """Sets a port field when the port is not the form's default."""
    if PORT == 5201:
        return
    spin = locate(app, Atspi.Role.SPIN_BUTTON, name, f"the field {name!r}")
    Atspi.Value.set_current_value(spin, PORT)
    if Atspi.Value.get_current_value(spin) != PORT:
        sys.exit(f"drive: could not set {name!r} to {PORT}")


def shot(name):
    path = f"{OUT}/{name}{SUFFIX}.png"
    subprocess.run([SHOT, path, "iperf3"], check=True)
    print(f"  screenshot: {path}")


app = APP = find_app()
L, B, T = Atspi.Role.LABEL, Atspi.Role.PUSH_BUTTON, Atspi.Role.PAGE_TAB
locate(app, B, "Start test", "the Client page's start button")
time.sleep(1)  # for the screenshot: the first frames drawn
shot("trellan")

press(locate(app, T, "Server", "the Server tab"))
server_status = locate(app, L, "Stopped.", "the Server page's status")
set_port(app, "Listen port")
press(locate(app, B, "Start server", "the Server page's start button"))
wait_for(server_status, lambda t: t == "Waiting for client connections…", "the server to listen")
print("Server page: Waiting for client connections…")

press(locate(app, T, "Client", "the Client tab"))
client_status = locate(app, L, "Ready.", "the Client page's status")
client_button = locate(app, B, "Start test", "the Client page's start button")
set_port(app, "Port")
press(client_button)
wait_for(client_status, lambda t: t.startswith("Measuring…"), "the first rate")
time.sleep(4)  # for the screenshot: a few readings in
shot("trellan-measuring")
result = wait_for(client_status, lambda t: t.startswith("Result — "), "the result")
wait_for(client_button, lambda t: t == "Start test", "the end of the run")
time.sleep(1.5)  # for the screenshot: the gauge at rest
shot("trellan-result")
print(f"Client page: {result}")

press(locate(app, T, "Runs", "the Runs tab"))
locate(app, B, "Copy as CSV", "the Runs page's copy button")
# The run that started last is shown: the client served by the Server page,
# whose table starts with the same interval as the test's. (A run is chosen
# by activating its row, from the keyboard or with a click; the bus offers
# neither here, and choosing nothing is what a look at the page needs.)
locate(app, Atspi.Role.LIST, "Runs", "the Runs page's list")
chart = locate(app, Atspi.Role.IMAGE, "Throughput over time", "the Runs page's chart")
cell = locate(app, L, "0.00–1.00 s", "the first interval's cell in the Runs page's table")
time.sleep(1)  # for the screenshot
shot("trellan-runs")
APP.set_cache_mask(Atspi.Cache.NONE)  # the description follows the shown run
print(f"Runs page chart: {chart.get_description()}")
print("Runs page table: its first interval's cell is on the bus")

press(locate(app, T, "Server", "the Server tab"))
server_status = locate(app, L, "Waiting for client connections…", "the Server page's status")
time.sleep(0.5)  # for the screenshot
shot("trellan-server")
print(f"Server page: {server_status.get_name()}")

press(locate(app, B, "Close", "the window's close button"))
