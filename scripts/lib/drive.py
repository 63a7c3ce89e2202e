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
from gi.repository import Atspi  # noqa: E402

SHOT, OUT = sys.argv[1], sys.argv[2]
SUFFIX = sys.argv[3] if len(sys.argv) > 3 else ""
PORT = int(sys.argv[4]) if len(sys.argv) > 4 else 5201


def find_app(timeout=40):
    deadline = time.time() + timeout
    while time.time() < deadline:
        desktop = Atspi.get_desktop(0)
        desktop.clear_cache()
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_name() == "trellan":
                return app
        time.sleep(0.2)
    sys.exit("drive: the app did not show up on the accessibility bus")


def walk(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def locate(app, role, name, timeout=20):
    """The widget with this role and accessible name, as the window shows it
    now (switching pages re-creates the accessible objects of a page)."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        app.set_cache_mask(Atspi.Cache.DEFAULT)  # a walk asks a lot
        app.clear_cache()
        for node in walk(app):
            if node.get_role() == role and node.get_name() == name:
                return node
        time.sleep(0.3)
    sys.exit(f"drive: no {role.value_nick} {name!r} in the window")


def wait_for(node, test, what, timeout=40):
    APP.set_cache_mask(Atspi.Cache.NONE)  # the texts change while a run goes on
    deadline = time.time() + timeout
    while time.time() < deadline:
        text = node.get_name() or ""
        if test(text):
            return text
        time.sleep(0.25)
    sys.exit(f"drive: waited for {what}, the window shows {node.get_name()!r}")


def press(node):
    Atspi.Action.do_action(node, 0)


def set_port(app, name):
    """Sets a port field when the port is not the form's default."""
    if PORT == 5201:
        return
    spin = locate(app, Atspi.Role.SPIN_BUTTON, name)
    Atspi.Value.set_current_value(spin, PORT)
    if Atspi.Value.get_current_value(spin) != PORT:
        sys.exit(f"drive: could not set {name!r} to {PORT}")


def shot(name):
    path = f"{OUT}/{name}{SUFFIX}.png"
    subprocess.run([SHOT, path, "iperf3"], check=True)
    print(f"  screenshot: {path}")


app = APP = find_app()
time.sleep(1)
shot("trellan")

press(locate(app, Atspi.Role.PAGE_TAB, "Server"))
time.sleep(0.5)
server_status = locate(app, Atspi.Role.LABEL, "Stopped.")
set_port(app, "Listen port")
press(locate(app, Atspi.Role.PUSH_BUTTON, "Start server"))
wait_for(server_status, lambda t: t == "Waiting for client connections…", "the server")
print("Server page: Waiting for client connections…")

press(locate(app, Atspi.Role.PAGE_TAB, "Client"))
time.sleep(0.5)
client_status = locate(app, Atspi.Role.LABEL, "Ready.")
client_button = locate(app, Atspi.Role.PUSH_BUTTON, "Start test")
set_port(app, "Port")
press(client_button)
wait_for(client_status, lambda t: t.startswith("Measuring…"), "the first rate")
time.sleep(4)
shot("trellan-measuring")
result = wait_for(client_status, lambda t: t.startswith("Result — "), "the result")
wait_for(client_button, lambda t: t == "Start test", "the end of the run")
time.sleep(1.5)
shot("trellan-result")
print(f"Client page: {result}")

press(locate(app, Atspi.Role.PAGE_TAB, "Runs"))
locate(app, Atspi.Role.PUSH_BUTTON, "Copy as CSV")
# The run that started last is shown, which may be the served client; the
# screenshots show the client test, with the sending side's line.
runs = locate(app, Atspi.Role.LIST, "Runs")
rows = [runs.get_child_at_index(i) for i in range(runs.get_child_count())]
names = [(row.get_name() or "") if row is not None else "" for row in rows]
client_rows = [i for i, name in enumerate(names) if name.startswith("Client")]
if not client_rows:
    sys.exit(f"drive: no Client run among the rows {names!r}")
Atspi.Selection.select_child(runs, client_rows[0])
time.sleep(1)
shot("trellan-runs")
chart = locate(app, Atspi.Role.IMAGE, "Throughput over time", timeout=5)
APP.set_cache_mask(Atspi.Cache.NONE)  # the description follows the shown run
print(f"Runs page chart: {chart.get_description()}")
cell = locate(app, Atspi.Role.LABEL, "0.00–1.00 s", timeout=5)
print("Runs page table: its first interval's cell is on the bus")

press(locate(app, Atspi.Role.PAGE_TAB, "Server"))
time.sleep(0.5)
shot("trellan-server")
server_status = locate(app, Atspi.Role.LABEL, "Waiting for client connections…", timeout=5)
print(f"Server page: {server_status.get_name()}")

press(locate(app, Atspi.Role.PUSH_BUTTON, "Close"))
