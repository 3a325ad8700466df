"""Idle connections that never log on, more than the descriptors of swp-host under
`prlimit --nofile=256` can hold: each accept that finds no descriptor closes the one idle longest,
so every connection gets its banner in turn, and real clients that arrive while the rest stay
connected get theirs and log on (their banner and login latencies are printed). The server does
not spin while the idle ones sit, and has the descriptors it had before once they have gone."""

import selectors
import socket
import time

from fault_clients import answers, probe_once
from fault_figures import milliseconds, percentile
from fault_server import counts_back, counts_return, cpu_share, idle_counts, server_clients, stop_server
from swp_harness import Server, close_with_reset, descriptors, make_tree, wait_until

LIMIT = 256
IDLE = 1000
REAL_CLIENTS = 20
EVICTED = b"421 Closed for a new connection: idle before login.\r\n"
WAIT_SECONDS = 3.0        # how long the CPU time is taken over while the idle connections sit
SPIN_SHARE = 0.2
LATENCY_GOAL = 1.0
EVENTUALLY = 60.0
TREE = {"a.txt": b"a"}


class Idlers:
    """Connections that never send a byte: each waits for its banner, and is counted closed once
    the server ended it."""

    def __init__(self):
        self.selector = selectors.DefaultSelector()
        self.received = {}
        self.closed = []

    def connect(self, port):
        sock = socket.create_connection(("127.0.0.1", port), timeout=EVENTUALLY)
        sock.setblocking(False)
        self.received[sock] = b""
        self.selector.register(sock, selectors.EVENT_READ)

    def poll(self, timeout=0.05):
        for key, _ in self.selector.select(timeout):
            sock = key.fileobj
            try:
                chunk = sock.recv(4096)
            except BlockingIOError:
                continue
            except OSError:
                chunk = b""
            self.received[sock] += chunk
            if not chunk:
                self.selector.unregister(sock)
                self.closed.append(sock)

    def bannered(self):
        return sum(data.startswith(b"220 ") for data in self.received.values())

    def evicted(self):
        return sum(self.received[sock].endswith(EVICTED) for sock in self.closed)

    def close(self):
        for sock in self.received:
            close_with_reset(sock)
        self.selector.close()


def settled(idlers, server, evictions):
    """Every idle connection has had its banner, the server holds exactly those not closed, and
    at least `evictions` were closed for a new one."""
    idlers.poll()
    return (idlers.bannered() == IDLE and IDLE - len(idlers.closed) == server_clients(server)
            and idlers.evicted() >= evictions)


def latency_rows(report, banners, logins):
    for name, samples in (("banner", banners), ("login", logins)):
        if samples:
            worst = max(samples)
            report.goal("real client's %s latency: median, max" % name, "%s, %s" % (
                milliseconds(percentile(samples, 0.5)), milliseconds(worst)),
                "max < %s" % milliseconds(LATENCY_GOAL), worst < LATENCY_GOAL)


def run(context):
    report = context.report
    root = make_tree(context.scratch.path("idle"), TREE)
    server = Server(root + "=idle", wrapper=["prlimit", "--nofile=%d" % LIMIT])
    idlers = Idlers()
    real = []
    try:
        baseline = idle_counts(server)
        room = LIMIT - len(descriptors(server.pid))
        started = time.monotonic()
        for _ in range(IDLE):
            idlers.connect(server.port)
            idlers.poll(0)
        try:
            wait_until(lambda: settled(idlers, server, 1), timeout=EVENTUALLY, interval=0)
        except AssertionError:
            pass
        report.note("descriptors free for clients", str(room))
        report.fact("idle connections that got a banner", "%d of %d in %.1f s" % (
            idlers.bannered(), IDLE, time.monotonic() - started), "all", idlers.bannered() == IDLE)
        report.fact("idle connections closed for a new one (421), closed in all", "%d, %d" % (
            idlers.evicted(), len(idlers.closed)), "about %d, no other" % (IDLE - room),
            0 < idlers.evicted() == len(idlers.closed))
        share = cpu_share(server, WAIT_SECONDS)
        report.fact("CPU while %d idle connections sit" % (IDLE - len(idlers.closed)),
                    "%.0f%% of a core over %.0f s" % (share * 100, WAIT_SECONDS), "< %.0f%%" % (SPIN_SHARE * 100),
                    share < SPIN_SHARE)

        # The real clients stay connected, so that each one needs a descriptor of an idle one.
        before = idlers.evicted()
        banners, logins, failures = [], [], []
        for _ in range(REAL_CLIENTS):
            try:
                banner, login = probe_once(server.port, timeout=EVENTUALLY, kept=real)
                banners.append(banner)
                logins.append(login)
            except (OSError, EOFError, AssertionError) as error:
                failures.append(error)
                break  # one locked out is enough: the others would wait as long
            idlers.poll(0)
        report.fact("real clients served beside the idle ones", "%d of %d" % (len(banners), REAL_CLIENTS), "all",
                    not failures)
        latency_rows(report, banners, logins)
        try:
            wait_until(lambda: idlers.poll() or idlers.evicted() >= before + REAL_CLIENTS, timeout=EVENTUALLY,
                       interval=0)
        except AssertionError:
            pass
        report.fact("idle connections closed for the real clients", str(idlers.evicted() - before),
                    str(REAL_CLIENTS), idlers.evicted() - before == REAL_CLIENTS)
        logged = server.log_text().count(EVICTED.decode())
        report.fact("evictions in the log, seen by the clients", "%d, %d" % (logged, idlers.evicted()), "equal",
                    logged == idlers.evicted())
        idlers.close()
        idlers = None
        for control in real:
            control.close()
        real = []
        alive = answers(server.port)
        report.fact("server answers afterwards", "yes" if alive else "no", "yes", alive)
        left = counts_return(server, baseline)
        report.fact("threads, descriptors afterwards", "%d, %d" % left, "at most %d, %d (before)" % baseline,
                    counts_back(left, baseline))
    finally:
        if idlers:
            idlers.close()
        for control in real:
            control.close()
        stop_server(server)
