#!/usr/bin/python3
"""Drives a running Trellan window through the accessibility bus: starts the
Server page's server, runs the Client page's test against it on loopback,
takes screenshots and closes the window.

Usage: drive.py SHOT_TOOL OUT_DIR
"""
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

SHOT, OUT = sys.argv[1], sys.argv[2]


def find_app(timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        desktop = Atspi.get_desktop(0)
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


def widgets(app):
    """The widgets the drive uses, found once by role and initial name."""
    wanted = {
        (Atspi.Role.PAGE_TAB, "Client"): "client_tab",
        (Atspi.Role.PAGE_TAB, "Server"): "server_tab",
        (Atspi.Role.LABEL, "Ready."): "client_status",
        (Atspi.Role.LABEL, "Stopped."): "server_status",
        (Atspi.Role.PUSH_BUTTON, "Start test"): "client_button",
        (Atspi.Role.PUSH_BUTTON, "Start server"): "server_button",
        (Atspi.Role.PUSH_BUTTON, "Close"): "close",
    }
    found = {}
    for node in walk(app):
        key = wanted.get((node.get_role(), node.get_name()))
        if key and key not in found:
            found[key] = node
    missing = set(wanted.values()) - set(found)
    if missing:
        sys.exit(f"drive: not found in the window: {sorted(missing)}")
    return found


def name_of(node):
    node.clear_cache()  # the texts change while a run goes on
    return node.get_name() or ""


def wait_for(node, test, what, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        text = name_of(node)
        if test(text):
            return text
        time.sleep(0.2)
    sys.exit(f"drive: waited for {what}, the window shows {name_of(node)!r}")


def press(node):
    Atspi.Action.do_action(node, 0)


def shot(name):
    path = f"{OUT}/{name}.png"
    subprocess.run([SHOT, path, "iperf3"], check=True)
    print(f"  screenshot: {path}")


app = find_app()
time.sleep(1)
w = widgets(app)
shot("trellan")

press(w["server_tab"])
press(w["server_button"])
wait_for(w["server_status"], lambda t: t == "Waiting for client connections…", "the server")
print("Server page: Waiting for client connections…")

press(w["client_tab"])
press(w["client_button"])
wait_for(w["client_status"], lambda t: t.startswith("Measuring…"), "the first rate")
time.sleep(4)
shot("trellan-measuring")
result = wait_for(w["client_status"], lambda t: t.startswith("Result — "), "the result")
wait_for(w["client_button"], lambda t: t == "Start test", "the end of the run")
time.sleep(1.5)
shot("trellan-result")
print(f"Client page: {result}")

press(w["server_tab"])
time.sleep(0.5)
shot("trellan-server")
print(f"Server page: {name_of(w['server_status'])}")

press(w["close"])
