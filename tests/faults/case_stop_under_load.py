"""Stop under load: 30 cycles of starting swp-host, loading it with clients that list, download and
search, and sending SIGTERM. Each stop's time is printed against its goal; every process must
exit with status 0."""

import os
import statistics
import threading
import time

from fault_clients import connect_data, logged_on
from fault_server import stop_server
from fault_trees import make_sparse_file
from swp_harness import Server, epsv_port, read_to_end, wait_until

CYCLES = 30
CLIENTS_OF_EACH_KIND = 3
STOP_GOAL = 2.0
STOP_DEADLINE = 30.0        # a process still running then is killed, and its cycle fails
LOAD_DEADLINE = 30.0
TREE_FILES = 2_000
HUGE = 1 << 30


# Each client runs until the server goes away, within a bounded number of rounds; the stop comes
# once every client has done a few.
ROUNDS = 100_000
ROUNDS_BEFORE_STOP = 5


class Progress:
    """Rounds each load client has done; one slot per client, written by that client alone."""

    def __init__(self, clients):
        self.rounds = [0] * clients

    def loaded(self):
        return min(self.rounds) >= ROUNDS_BEFORE_STOP


def lister(control, progress, slot):
    for _ in range(ROUNDS):
        data = connect_data(epsv_port(control.command("EPSV")))
        control.send_line("LIST /wide/d0000")
        if control.read_reply().startswith("150"):
            read_to_end(data)
            control.read_reply()
        progress.rounds[slot] += 1


def downloader(control, progress, slot):
    data = connect_data(epsv_port(control.command("EPSV")), receive_buffer=65536)
    control.send_line("RETR /big/huge.bin")
    for _ in range(ROUNDS):
        if not data.recv(65536):
            return
        progress.rounds[slot] += 1


def searcher(control, progress, slot):
    searches = ("f00001", "alpha", "d0001")
    for number in range(ROUNDS):
        control.command("SORRELWICK search " + searches[number % len(searches)])
        control.send_line("SORRELWICK query")
        control.read_reply()
        progress.rounds[slot] += 1


def load_client(port, work, progress, slot):
    """Runs one client until the server goes away (every way it can go away ends it)."""
    try:
        with logged_on(port) as control:
            work(control, progress, slot)
    except (OSError, EOFError, AssertionError):
        pass


def one_cycle(tree, big):
    """Starts, loads and stops one server; returns (seconds to stop, exit status or None)."""
    server = Server(tree, args=["--index", big + "=big"])
    works = [lister, downloader, searcher] * CLIENTS_OF_EACH_KIND
    progress = Progress(len(works))
    clients = [threading.Thread(target=load_client, args=(server.port, work, progress, slot), daemon=True)
               for slot, work in enumerate(works)]
    for client in clients:
        client.start()
    try:
        wait_until(progress.loaded, timeout=LOAD_DEADLINE, interval=0.005)
        loaded = True
    except AssertionError:
        loaded = False
    started = time.monotonic()
    status = stop_server(server, timeout=STOP_DEADLINE)
    seconds = time.monotonic() - started
    for client in clients:
        client.join(LOAD_DEADLINE)
    return seconds, status, loaded


def run(context):
    report = context.report
    tree, _ = context.scratch.wide_tree(TREE_FILES)
    big = context.scratch.path("stop-big")
    os.makedirs(big)
    make_sparse_file(os.path.join(big, "huge.bin"), HUGE)
    times, statuses, unloaded = [], [], 0
    for cycle in range(CYCLES):
        seconds, status, loaded = one_cycle(tree, big)
        times.append(seconds)
        statuses.append(status)
        unloaded += not loaded
        print("faults: stop %d took %.2f s, exit status %s" % (cycle + 1, seconds,
                                                             "killed" if status is None else status), flush=True)
    exits = sum(status == 0 for status in statuses)
    report.fact("stops that exited 0", "%d of %d" % (exits, CYCLES), "all, within %.0f s" % STOP_DEADLINE,
                exits == CYCLES)
    report.fact("cycles whose load was running at the stop", "%d of %d" % (CYCLES - unloaded, CYCLES), "all",
                unloaded == 0)
    report.goal("stop time, median and slowest", "%.2f s, %.2f s" % (statistics.median(times), max(times)),
                "each < %.0f s" % STOP_GOAL, max(times) < STOP_GOAL)
