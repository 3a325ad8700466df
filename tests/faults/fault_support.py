"""Shared pieces of the fault suite: the table of figures, generated trees, process measurements
and bounded client threads. Servers and control connections come from the e2e harness."""

import os
import shutil
import socket
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import swp_harness  # noqa: E402
from swp_harness import (  # noqa: E402,F401  (the cases take them from here)
    Control, Server, close_with_reset, descriptors, epsv_port, make_tree, process_counts, read_to_end, settled_counts,
    wait_until)

MIB = 1 << 20
PASS, FAIL, GOAL_MET, GOAL_MISSED, NOTE = "pass", "FAIL", "goal met", "goal missed", "-"


class Report:
    """The rows of the final table. Facts decide the verdict; goals (timings) and notes are only
    printed."""

    def __init__(self):
        self.rows = []
        self.case = ""

    def fact(self, name, figure, bound, holds):
        self.rows.append((self.case, name, figure, bound, PASS if holds else FAIL))
        return holds

    def goal(self, name, figure, goal, met):
        self.rows.append((self.case, name, figure, goal, GOAL_MET if met else GOAL_MISSED))

    def note(self, name, figure, bound=""):
        self.rows.append((self.case, name, figure, bound, NOTE))

    def failures(self):
        return [row for row in self.rows if row[4] == FAIL]

    def table(self):
        header = ("case", "name", "figure", "bound", "verdict")
        widths = [max(len(str(row[i])) for row in self.rows + [header]) for i in range(5)]
        lines = []
        for row in [header, tuple("-" * w for w in widths)] + self.rows:
            lines.append("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())
        return "\n".join(lines)


def megabytes(count):
    return "%.1f MB" % (count / MIB)


def percentile(samples, fraction):
    """Nearest-rank percentile of a non-empty list."""
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, max(0, int(round(fraction * len(ordered) + 0.5)) - 1))]


def milliseconds(seconds):
    return "%.1f ms" % (seconds * 1000)


# ---- trees -------------------------------------------------------------------------------

def scratch_parent():
    """A memory file system when there is one: a tree of 100,000 entries is made there in seconds."""
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK):
        stats = os.statvfs(shm)
        if stats.f_bavail * stats.f_frsize > 512 * MIB:
            return shm
    return None


def make_wide_tree(root, files, per_folder=1000):
    """Empty files named f0000000_alpha.txt and on, in folders d0000 and on; returns the entries
    below root (files and folders)."""
    os.makedirs(root)
    made = folders = 0
    while made < files:
        folder = os.path.join(root, "d%04d" % folders)
        os.mkdir(folder)
        folders += 1
        folder_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for _ in range(min(per_folder, files - made)):
                name = "f%07d_alpha.txt" % made
                os.close(os.open(name, os.O_CREAT | os.O_WRONLY | os.O_CLOEXEC, 0o644, dir_fd=folder_fd))
                made += 1
        finally:
            os.close(folder_fd)
    return made + folders


def make_sparse_file(path, size):
    with open(path, "wb") as out:
        out.truncate(size)


class Scratch:
    """The run's one temporary folder and the trees made in it, each made once when first asked for."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="swp-faults-", dir=scratch_parent())
        self._wide = {}
        self._lock = threading.Lock()

    def path(self, *names):
        return os.path.join(self.folder, *names)

    def wide_tree(self, files):
        """(index argument, entries the index holds) of a tree of `files` files."""
        with self._lock:
            if files not in self._wide:
                root = self.path("wide%d" % files)
                started = time.monotonic()
                below = make_wide_tree(root, files)
                print("faults: made a tree of %d entries in %.1f s" % (below + 1, time.monotonic() - started),
                      flush=True)
                self._wide[files] = (root + "=wide", below + 1)
            return self._wide[files]

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)


# ---- processes and clients -------------------------------------------------------------------

def cpu_share(server, seconds):
    """The share of one core that the server used over the next `seconds`."""
    cpu_before, started = server.cpu_seconds(), time.monotonic()
    time.sleep(seconds)
    return (server.cpu_seconds() - cpu_before) / (time.monotonic() - started)


def seconds_until_idle(server, timeout, idle_share=0.1, window=1.0):
    """Seconds until a whole window passes in which the server uses under `idle_share` of a core;
    None when that does not happen within `timeout`."""
    started = time.monotonic()
    while time.monotonic() - started < timeout:
        if cpu_share(server, window) < idle_share:
            return time.monotonic() - started
    return None


class MemoryGuard:
    """Samples the server's RSS while a load runs and keeps the peak. A server that passes `limit`
    is killed, so that a fault cannot take the machine's memory; `tripped` tells."""

    def __init__(self, server, limit):
        self.server, self.limit = server, limit
        self.peak = 0
        self.tripped = False
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, daemon=True)

    def _watch(self):
        while not self._stop.is_set():
            try:
                rss = self.server.rss_bytes()
            except OSError:
                return
            self.peak = max(self.peak, rss)
            if rss > self.limit:
                self.tripped = True
                self.server.kill()
                return
            self._stop.wait(0.02)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=10)


def run_threads(targets, timeout):
    """Runs each callable on a thread of its own; returns the exceptions raised (a thread still
    running after `timeout` counts as a TimeoutError)."""
    errors = []
    lock = threading.Lock()

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: B902 - every failure of a client is a finding
            with lock:
                errors.append(error)

    threads = [threading.Thread(target=guarded, args=(target,), daemon=True) for target in targets]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + timeout
    for thread in threads:
        thread.join(max(0.0, deadline - time.monotonic()))
    with lock:
        late = sum(thread.is_alive() for thread in threads)
        return errors + [TimeoutError("client still running")] * late


def stop_server(server, timeout=20.0):
    """SIGTERM, then SIGKILL when the server does not stop in time; removes its home. Returns the
    exit code of the stop by SIGTERM, or None when it had to be killed."""
    code = None
    try:
        if server.process.poll() is None:
            code = server.stop(timeout=timeout)
    except AssertionError:
        code = None
    finally:
        server.kill()
        server.__exit__(None, None, None)
    return code


def logged_on(port, timeout=30.0):
    control = Control(port, timeout=timeout)
    control.login()
    return control


def answers(port, timeout=30.0):
    """True when a new client gets the banner and a NOOP answered."""
    try:
        with Control(port, timeout=timeout) as control:
            return control.banner.startswith("220") and control.command("NOOP") == "200 OK.\r\n"
    except (OSError, EOFError):
        return False


def connect_data(port, timeout=30.0, receive_buffer=None):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    if receive_buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.connect(("127.0.0.1", port))
    return sock


def idle_counts(server):
    """(threads, descriptors) of an idle server that has served a client and run a search, so
    that what it makes on first use (the search workers among it) is counted."""
    with logged_on(server.port) as control:
        control.send_line("SORRELWICK query")
        if not control.read_reply().startswith("200-Query results"):
            raise AssertionError("the warm-up search was not answered")
    return settled_counts(server)


def counts_return(server, baseline, timeout=30.0):
    """Waits for the server's (threads, descriptors) to be back at `baseline`; returns what they
    are at the end."""
    try:
        wait_until(lambda: process_counts(server.pid) == baseline, timeout=timeout)
    except AssertionError:
        pass
    return process_counts(server.pid)
