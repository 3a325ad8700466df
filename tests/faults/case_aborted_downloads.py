"""Aborted downloads: 300 RETRs of a large file given up midway, half by resetting the control
connection, half by resetting the data connection without ABOR. Every transfer ends, the control
connection that stays is answered, and afterwards every reader thread has ended: the server holds
the threads and descriptors it held before."""

import os
import re
import threading
import time

from fault_clients import connect_data, logged_on, run_threads
from fault_server import counts_back, counts_return, idle_counts, stop_server
from fault_trees import make_sparse_file
from swp_harness import Server, close_with_reset, epsv_port, process_counts

RETRS = 300
WORKERS = 5             # each alternates control and data resets
HUGE = 1 << 30          # sparse: costs no disk, and never fits in the socket buffers
CASE_TIMEOUT = 300.0
STARTED = "150 Data connection accepted; transfer starting.\r\n"
DATA_RESET_REPLY = re.compile(r"^426 (send failed \d+|Connection closed; transfer aborted\.)\r\n$")


class Counts:
    def __init__(self):
        self.lock = threading.Lock()
        self.control_resets = self.ended_by_server = 0
        self.data_resets = self.answered = 0

    def add(self, **amounts):
        with self.lock:
            for name, amount in amounts.items():
                setattr(self, name, getattr(self, name) + amount)


def start_download(control):
    """RETR of the huge file over EPSV; returns the data socket once its first bytes arrived."""
    data = connect_data(epsv_port(control.command("EPSV")), receive_buffer=65536)
    reply = control.command("RETR /big/huge.bin")
    if reply != STARTED:
        data.close()
        raise AssertionError("RETR answered " + reply)
    if not data.recv(65536):
        raise AssertionError("no file bytes")
    return data


def ended_by_server(data, timeout=30.0):
    """True when the server ends the data connection before the whole file has come."""
    received, deadline = 0, time.monotonic() + timeout
    try:
        while received < HUGE and time.monotonic() < deadline:
            chunk = data.recv(1 << 20)
            if not chunk:
                return True
            received += len(chunk)
    except ConnectionResetError:
        return True
    except OSError:
        return False
    finally:
        data.close()
    return False


def by_control_reset(port, counts):
    control = logged_on(port)
    data = start_download(control)
    close_with_reset(control.sock)
    counts.add(control_resets=1, ended_by_server=int(ended_by_server(data)))


def by_data_reset(control, counts):
    close_with_reset(start_download(control))
    reply = control.read_reply()
    answered = bool(DATA_RESET_REPLY.match(reply)) and control.command("NOOP") == "200 OK.\r\n"
    counts.add(data_resets=1, answered=int(answered))


def worker(port, rounds, counts):
    with logged_on(port) as control:
        for round_number in range(rounds):
            if round_number % 2:
                by_data_reset(control, counts)
            else:
                by_control_reset(port, counts)


def run(context):
    report = context.report
    root = context.scratch.path("downloads")
    os.makedirs(root)
    make_sparse_file(os.path.join(root, "huge.bin"), HUGE)
    server = Server(root + "=big")
    try:
        baseline = idle_counts(server)
        counts = Counts()
        peak_threads = [0]
        stop = threading.Event()

        def watch_threads():
            while not stop.wait(0.02):
                peak_threads[0] = max(peak_threads[0], process_counts(server.pid)[0])

        watcher = threading.Thread(target=watch_threads, daemon=True)
        watcher.start()
        started = time.monotonic()
        errors = run_threads([lambda: worker(server.port, RETRS // WORKERS, counts)] * WORKERS, CASE_TIMEOUT)
        left = counts_return(server, baseline)
        elapsed = time.monotonic() - started
        stop.set()
        watcher.join()
        for error in errors[:3]:
            print("faults: a download client failed: %r" % error)
        report.note("aborted RETRs", "%d in %.1f s, up to %d server threads"
                    % (counts.control_resets + counts.data_resets, elapsed, peak_threads[0]))
        report.fact("clients that failed", str(len(errors)), "0", not errors)
        report.fact("control resets that ended the transfer", "%d of %d" % (counts.ended_by_server, RETRS // 2),
                    "all", counts.ended_by_server == counts.control_resets == RETRS // 2)
        report.fact("data resets answered 426, then NOOP", "%d of %d" % (counts.answered, RETRS // 2), "all",
                    counts.answered == counts.data_resets == RETRS // 2)
        report.fact("threads, descriptors afterwards", "%d, %d" % left, "at most %d, %d (before)" % baseline,
                    counts_back(left, baseline))
    finally:
        stop_server(server)
