"""Greedy and slow readers of large search results on a tree of 100,000 files. The greedy client
sends 200 unchanged queries for every entry with the path column and reads as fast as it can,
while another client sends NOOPs: the NOOPs' latency and the greedy client's rate are printed. The
slow ones (20, then 100) ask for the same and read nothing: the server's memory while they wait
is printed, and after they have left it must be back near where it was."""

import re
import socket
import threading
import time

from fault_clients import logged_on
from fault_figures import MIB, megabytes, milliseconds, percentile
from fault_server import MemoryGuard, cpu_share, stop_server
from swp_harness import Server, close_with_reset, wait_until

TREE_FILES = 100_000
LARGE_TREE_FILES = 1_000_000
QUERIES = 200
NOOP_EVERY = MIB             # of greedy progress: the NOOPs sample the whole greedy run evenly
NOOP_GOAL = 0.050
MIN_NOOPS_BESIDE = 10        # a client kept waiting until the greedy one is done gets one at most
SLOW_GROUPS = (20, 100)
SLOW_GOAL = 256 * MIB        # RSS while 100 slow readers wait
SLOW_RECEIVE_BUFFER = 4096
EVENTUALLY = 60.0            # a NOOP answered, a reply started, memory settled
GREEDY_TIMEOUT = 600.0
MEMORY_LIMIT = 2048 * MIB    # a server past this is killed, and the fact fails
RSS_SLACK = 64 * MIB         # how far above its start the memory may stay after the readers left
RESULT_COUNT = re.compile(rb"\r\n RESULT_COUNT (\d+)\r\n")
ASK_FOR_EVERYTHING = b"SORRELWICK count 4294967295\r\nSORRELWICK path_column 1\r\n"


def ask_for_everything(port, receive_buffer=None):
    """A logged-on client whose next query asks for every result with its path."""
    control = logged_on(port, timeout=EVENTUALLY)
    if receive_buffer:
        control.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    control.send_raw(ASK_FOR_EVERYTHING)
    for _ in range(2):
        if not control.read_reply().startswith("200 "):
            raise AssertionError("an option was refused")
    return control


class Greedy:
    """The greedy client's progress, shared with the NOOP client (`changed` guards it)."""

    def __init__(self):
        self.received = 0
        self.whole = False
        self.seconds = 0.0
        self.done = False
        self.error = None
        self.changed = threading.Condition()

    def advance(self, count):
        with self.changed:
            self.received += count
            self.changed.notify_all()

    def finish(self, error=None):
        with self.changed:
            self.done, self.error = True, error
            self.changed.notify_all()


def read_greedily(port, entries, greedy):
    """The first query's reply, then 199 unchanged queries sent at once and read as they come."""
    try:
        with ask_for_everything(port) as control:
            control.send_line("SORRELWICK query")
            first = control.read_reply_bytes()
            match = RESULT_COUNT.search(first)
            expected = len(first) * (QUERIES - 1)
            started = time.monotonic()
            control.send_raw(b"SORRELWICK query\r\n" * (QUERIES - 1))
            tail = control.buffer
            greedy.advance(len(control.buffer))
            while greedy.received < expected:
                chunk = control.sock.recv(1 << 20)
                if not chunk:
                    break
                tail = (tail + chunk)[-16:]
                greedy.advance(len(chunk))
            greedy.seconds = time.monotonic() - started
            greedy.whole = (bool(match) and int(match.group(1)) == entries and greedy.received == expected
                            and tail.endswith(b"\r\n200 End.\r\n"))
        greedy.finish()
    except (OSError, EOFError, AssertionError) as error:
        greedy.finish(error)


def noops_beside(port, greedy):
    """One NOOP per NOOP_EVERY bytes the greedy client receives; returns their latencies and how
    many were answered while the greedy client was still reading."""
    latencies, beside = [], 0
    deadline = time.monotonic() + GREEDY_TIMEOUT
    with logged_on(port, timeout=EVENTUALLY) as control:
        while time.monotonic() < deadline:
            with greedy.changed:
                mark = greedy.received + NOOP_EVERY
                greedy.changed.wait_for(lambda: greedy.done or greedy.received >= mark,
                                        timeout=max(0.0, deadline - time.monotonic()))
                if greedy.done:
                    return latencies, beside
            started = time.monotonic()
            if control.command("NOOP") != "200 OK.\r\n":
                raise AssertionError("NOOP not answered 200")
            latencies.append(time.monotonic() - started)
            beside += not greedy.done
    return latencies, beside


def check_greedy(report, server, entries):
    greedy = Greedy()
    reader = threading.Thread(target=read_greedily, args=(server.port, entries, greedy), daemon=True)
    latencies, beside, noop_error = [], 0, None
    with MemoryGuard(server, MEMORY_LIMIT) as guard:
        reader.start()
        try:
            latencies, beside = noops_beside(server.port, greedy)
        except (OSError, EOFError, AssertionError) as error:
            noop_error = error
        reader.join(GREEDY_TIMEOUT)
    for error in (greedy.error, noop_error):
        if error:
            print("faults: greedy reader: %r" % error)
    report.fact("greedy client got %d whole replies" % QUERIES, "yes" if greedy.whole else "no", "yes",
                greedy.whole)
    report.note("greedy client's rate", "%.1f MB/s (%s in %.1f s)" % (
        greedy.received / MIB / max(greedy.seconds, 1e-3), megabytes(greedy.received), greedy.seconds))
    slowest = max(latencies, default=0.0)
    served = beside >= MIN_NOOPS_BESIDE and not noop_error and slowest < EVENTUALLY
    report.fact("NOOPs answered while the greedy client read", "%d of %d, slowest %s" % (
        beside, len(latencies), milliseconds(slowest)), ">= %d, each within %.0f s" % (MIN_NOOPS_BESIDE, EVENTUALLY),
        served)
    if latencies:
        p50, p99 = percentile(latencies, 0.50), percentile(latencies, 0.99)
        report.goal("NOOP p50, p99 meanwhile", "%s, %s" % (milliseconds(p50), milliseconds(p99)),
                    "p99 < %s" % milliseconds(NOOP_GOAL), p99 < NOOP_GOAL)
    report.fact("peak RSS meanwhile", megabytes(guard.peak), "< %s" % megabytes(MEMORY_LIMIT), not guard.tripped)


def server_at_rest(server):
    return cpu_share(server, 0.5) < 0.05


def check_slow_readers(report, server, clients, label):
    """Clients that ask for every result and read nothing, until the server has come to rest."""
    baseline = server.rss_bytes()
    readers, started_replies = [], 0
    started = time.monotonic()
    with MemoryGuard(server, MEMORY_LIMIT) as guard:
        try:
            for _ in range(clients):
                readers.append(ask_for_everything(server.port, SLOW_RECEIVE_BUFFER))
                readers[-1].send_line("SORRELWICK query")
            for control in readers:
                control.sock.settimeout(EVENTUALLY)
                if control.read_exact(4) != b"200-":
                    raise AssertionError("a slow reader's reply did not start")
                started_replies += 1
            wait_until(lambda: guard.tripped or server_at_rest(server), timeout=EVENTUALLY)
        except (OSError, EOFError, AssertionError) as error:
            print("faults: slow readers: %r" % error)
        finally:
            for control in readers:
                close_with_reset(control.sock)
    report.note("%d slow readers (%s)" % (clients, label), "their replies started within %.1f s"
                % (time.monotonic() - started))
    report.fact("%d slow readers whose reply started" % clients, "%d" % started_replies, "all",
                started_replies == clients)
    report.fact("peak RSS while %d slow readers wait" % clients, megabytes(guard.peak),
                "< %s" % megabytes(MEMORY_LIMIT), not guard.tripped)
    if clients == 100:
        report.goal("peak RSS while 100 slow readers wait", megabytes(guard.peak), "< %s" % megabytes(SLOW_GOAL),
                    guard.peak < SLOW_GOAL)
    if guard.tripped:
        return
    try:
        wait_until(lambda: server.rss_bytes() <= baseline + RSS_SLACK, timeout=EVENTUALLY)
    except AssertionError:
        pass
    after = server.rss_bytes()
    report.fact("RSS after they left (before: %s)" % megabytes(baseline), megabytes(after),
                "<= before + %s" % megabytes(RSS_SLACK), after <= baseline + RSS_SLACK)


def run(context):
    report = context.report
    tree, entries = context.scratch.wide_tree(TREE_FILES)
    server = Server(tree, start_timeout=120)
    try:
        check_greedy(report, server, entries)
        for clients in SLOW_GROUPS:
            if server.process.poll() is not None:
                stop_server(server)
                server = Server(tree, start_timeout=120)
            check_slow_readers(report, server, clients, "%d entries" % entries)
    finally:
        stop_server(server)
    if context.large == "no" or (context.large == "auto" and not context.scratch.large_tree_affordable()):
        report.note("100 slow readers on 1,000,000 entries", "not run: no room to make the tree in memory"
                    if context.large == "auto" else "not run: --large no")
        return
    tree, entries = context.scratch.wide_tree(LARGE_TREE_FILES)
    server = Server(tree, start_timeout=600)
    try:
        check_slow_readers(report, server, 100, "%d entries" % entries)
    finally:
        stop_server(server)
