#!/usr/bin/python3
"""Fault drills: the real app is killed with SIGKILL in the middle of runs,
and no iperf3 it started may outlive it by more than a second.

    drills.py                 every drill, as TAP, on an X server and session
                              bus of its own
    drills.py --case NAME     one drill (what the line above runs)

Environment: TRELLAN_EXE, the app to drill. G_DEBUG is handed to the app only.
"""
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "bench", "lib"))

GRACE = 1.0  # seconds an iperf3 may take to go after the app was killed

# A stand-in iperf3: writes its pid down, prints what a run in progress
# prints, then waits to be killed. `exec` keeps the recorded pid.
FAKE_IPERF3 = r"""#!/bin/sh
echo $$ >> "{pids}"
case " $* " in
  *" -s "*)
    echo "Server listening on 5201 (test #1)"
    echo "Accepted connection from 127.0.0.1, port 40502"
    echo "[  5]   0.00-1.00   sec   100 MBytes   839 Mbits/sec" ;;
  *)
    echo "Connecting to host 127.0.0.1, port 5201"
    echo "[  5]   0.00-1.00   sec   112 MBytes   941 Mbits/sec    0   1.06 MBytes" ;;
esac
exec sleep 60
"""


# The real iperf3, moved to the drill's own free port (a busy 5201 must not
# fail the drill); `exec` keeps it the very process the app started.
PORT_MOVER = r"""#!/bin/bash
args=("$@")
for i in "${{!args[@]}}"; do [ "${{args[i]}}" = -p ] && args[i+1]={port}; done
exec {iperf3} "${{args[@]}}"
"""


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


# ---- processes ------------------------------------------------------------------

def become_subreaper():
    """Orphans of our descendants come to us, so their ends can be watched."""
    PR_SET_CHILD_SUBREAPER = 36
    libc = ctypes.CDLL(None, use_errno=True)
    check(libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0, "prctl(PR_SET_CHILD_SUBREAPER) failed")


def proc_state(pid):
    """(state letter, parent pid) of a process, or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            text = f.read()
    except (FileNotFoundError, ProcessLookupError):
        return None
    fields = text[text.rindex(")") + 2:].split()
    return fields[0], int(fields[1])


def is_gone(pid):
    """Dead: no process, or a zombie waiting for its parent (then reaped
    here, when that parent is us)."""
    state = proc_state(pid)
    if state is None:
        return True
    if state[0] == "Z":
        if state[1] == os.getpid():
            os.waitpid(pid, os.WNOHANG)
        return True
    return False


def children_named(parent, name):
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/comm") as f:
                comm = f.read().strip()
        except OSError:
            continue
        state = proc_state(int(entry))
        if comm == name and state is not None and state[1] == parent and state[0] != "Z":
            pids.append(int(entry))
    return pids


def eventually(predicate, timeout, what):
    deadline = time.time() + timeout
    while not predicate():
        if time.time() > deadline:
            raise Failure(f"timed out waiting for {what}")
        time.sleep(0.02)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Session:
    """The app under drill, with the accessible side of it."""

    def __init__(self, path_prefix=None):
        env = dict(os.environ)
        if os.environ.get("TRELLAN_DRILL_G_DEBUG"):
            env["G_DEBUG"] = os.environ["TRELLAN_DRILL_G_DEBUG"]
        if path_prefix:
            env["PATH"] = path_prefix + ":" + env.get("PATH", "/usr/bin:/bin")
        self.proc = subprocess.Popen([os.environ["TRELLAN_EXE"]], env=env)
        from app_driver import App
        self.app = App(self.proc.pid)
        self.R = self.app.Role

    def start_client(self):
        status, start = self.app.find([(self.R.LABEL, "Ready."), (self.R.PUSH_BUTTON, "Start test")])
        self.app.press(start)
        return status

    def start_server(self):
        self.app.press(self.app.find([(self.R.PAGE_TAB, "Server")])[0])
        status, start = self.app.find([(self.R.LABEL, "Stopped."),
                                       (self.R.PUSH_BUTTON, "Start server")])
        self.app.press(start)
        return status

    def wait_status(self, label, prefix, timeout=60):
        text = self.app.wait_name(label, lambda t: t.startswith(prefix), timeout)
        check(text.startswith(prefix), f"status {text!r}, expected {prefix!r}…")

    def kill_and_watch(self, pids):
        """SIGKILLs the app; how long each of `pids` took to go (or None)."""
        for pid in pids:
            check(not is_gone(pid), f"iperf3 {pid} was gone before the app was killed")
        os.kill(self.proc.pid, signal.SIGKILL)
        killed = time.time()
        self.proc.wait()
        took = {}
        while len(took) < len(pids) and time.time() - killed < GRACE + 2:
            for pid in pids:
                if pid not in took and is_gone(pid):
                    took[pid] = time.time() - killed
            time.sleep(0.005)
        return {pid: took.get(pid) for pid in pids}

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def assert_all_gone(took):
    late = {pid: t for pid, t in took.items() if t is None or t > GRACE}
    for pid in late:  # never leave one behind, whatever the outcome
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    check(not late, "iperf3 outlived the app by more than 1 s: " +
          ", ".join(f"pid {p} ({'still alive' if t is None else f'{t:.2f} s'})" for p, t in late.items()))
    print("# gone after " + ", ".join(f"{t * 1000:.0f} ms" for t in took.values()))


# ---- the drills -------------------------------------------------------------------

def fake_tool(work):
    pids = os.path.join(work, "pids")
    path = os.path.join(work, "iperf3")
    with open(path, "w") as f:
        f.write(FAKE_IPERF3.format(pids=pids))
    os.chmod(path, 0o755)
    return pids


def recorded(pids_file, count):
    eventually(lambda: os.path.exists(pids_file) and
               len(open(pids_file).read().split()) >= count, 10, f"{count} iperf3 to start")
    return [int(p) for p in open(pids_file).read().split()]


def drill_fake(client, server):
    with tempfile.TemporaryDirectory(prefix="trellan-drill-") as work:
        pids_file = fake_tool(work)
        session = Session(path_prefix=work)
        try:
            if client:
                label = session.start_client()
                session.wait_status(label, "Measuring… peak 941.0 Mbit/s")
            if server:
                label = session.start_server()
                session.wait_status(label, "Client connected: 127.0.0.1 — measuring…")
            pids = recorded(pids_file, int(client) + int(server))
            for pid in pids:
                state = proc_state(pid)
                check(state is not None and state[1] == session.proc.pid,
                      f"iperf3 {pid} is not the app's child ({state})")
            assert_all_gone(session.kill_and_watch(pids))
        finally:
            session.close()


def drill_real_server():
    port = free_port()
    work = tempfile.mkdtemp(prefix="trellan-drill-")
    with open(os.path.join(work, "iperf3"), "w") as f:
        f.write(PORT_MOVER.format(port=port, iperf3=shutil.which("iperf3")))
    os.chmod(os.path.join(work, "iperf3"), 0o755)
    session = Session(path_prefix=work)
    client = None
    try:
        label = session.start_server()
        session.wait_status(label, "Waiting for client connections…")
        servers = children_named(session.proc.pid, "iperf3")
        check(len(servers) == 1, f"expected one iperf3 child of the app, found {servers}")
        # A client mid-test, so that the server is busy measuring when the
        # app goes.
        client = subprocess.Popen(["iperf3", "-c", "127.0.0.1", "-p", str(port), "-t", "30"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        session.wait_status(label, "Client connected: 127.0.0.1")
        assert_all_gone(session.kill_and_watch(servers))
        # The port is free again: a new server can listen on it.
        probe = subprocess.Popen(["iperf3", "-s", "-1", "--forceflush", "-p", str(port)],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            seen = [probe.stdout.readline() for _ in range(2)]  # a rule, then the news
            check(any("Server listening" in line for line in seen), f"the port stayed taken: {seen}")
        finally:
            probe.kill()
            probe.wait()
    finally:
        if client is not None:
            client.kill()
            client.wait()
        session.close()
        shutil.rmtree(work, ignore_errors=True)


DRILLS = {
    "client-run": ("SIGKILL during a client run leaves no iperf3", lambda: drill_fake(True, False)),
    "server-run": ("SIGKILL during a server run leaves no iperf3", lambda: drill_fake(False, True)),
    "both-runs": ("SIGKILL during a client and a server run at once leaves no iperf3",
                  lambda: drill_fake(True, True)),
    "real-server": ("SIGKILL while the real iperf3 server serves a client leaves no iperf3 "
                    "and frees the port", drill_real_server),
}


# ---- running them ------------------------------------------------------------------

def run_case(name):
    become_subreaper()
    try:
        DRILLS[name][1]()
    except Failure as e:
        print(f"# {e}")
        return 1
    return 0


def run_all():
    print(f"1..{len(DRILLS)}", flush=True)
    failed = 0
    for i, (name, (title, _)) in enumerate(DRILLS.items(), 1):
        try:
            out = subprocess.run([sys.executable, __file__, "--case", name], capture_output=True,
                                 text=True, timeout=60)
            ok, text = out.returncode == 0, out.stdout + out.stderr
        except subprocess.TimeoutExpired as e:
            ok, text = False, f"# timed out\n{e.stdout or ''}{e.stderr or ''}"
        failed += not ok
        print(f"{'ok' if ok else 'not ok'} {i} - {title}")
        for line in text.strip().splitlines()[-15 if not ok else -3:]:
            print(line if line.startswith("#") else f"# {line}")
        sys.stdout.flush()
    return 1 if failed else 0


def with_own_display_and_bus():
    """Re-runs this script on a private X server, session bus and runtime
    directory: the accessibility bus keeps its socket in the runtime
    directory, which other sessions of the same user would otherwise share."""
    runtime = tempfile.mkdtemp(prefix="trellan-drills-")
    os.chmod(runtime, 0o700)
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, GSETTINGS_BACKEND="memory",
               # The software GL renderer can keep a busy machine's main loop
               # too occupied for GTK to register on the accessibility bus.
               GSK_RENDERER="cairo")
    if "G_DEBUG" in env:
        env["TRELLAN_DRILL_G_DEBUG"] = env.pop("G_DEBUG")
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x1024x24",
                             "-nolisten", "tcp"], pass_fds=(write_fd,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    try:
        with os.fdopen(read_fd) as f:
            display = f.readline().strip()
        if not display:
            print("1..0 # SKIP Xvfb did not start")
            return 1
        env["DISPLAY"] = ":" + display
        # Only TAP reaches our output: the bus's services chatter on it too.
        inner = subprocess.Popen(["dbus-run-session", "--", sys.executable, __file__, "--inside"],
                                 env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        for line in inner.stdout:
            if line.startswith(("ok ", "not ok ", "#", "1..")):
                print(line, end="", flush=True)
        return inner.wait()
    finally:
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(runtime, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--case":
        sys.exit(run_case(sys.argv[2]))
    if len(sys.argv) == 2 and sys.argv[1] == "--inside":
        sys.exit(run_all())
    sys.exit(with_own_display_and_bus())
