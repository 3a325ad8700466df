"""A flood before login: 10,000 connections, each sending "USER " and then up to 1,000,000 bytes
without a line feed, to swp-host under a 1 GiB address limit. First every connection holds just
under the few KiB a line may take before login, and the server's memory is taken; then each goes
on sending until the server ends it. The server stays alive and small throughout, ends every one
of them before its line is done, and serves a real client all the while (its banner and login
latencies are printed)."""

import selectors
import socket
import time

from fault_clients import Prober, answers
from fault_figures import MIB, megabytes, milliseconds, percentile
from fault_server import MemoryGuard, stop_server, unread_bytes
from swp_harness import Server, close_with_reset, make_tree, wait_until

CONNECTIONS = 10_000
LINE = 1_000_000            # what each connection would send after "USER "
HELD = 4000                 # just under the longest line before login
PIECE = 16 * 1024           # sent per turn once the connections go on
WAVE = 1000                 # connections that go on at the same time
ADDRESS_LIMIT = 1 << 30     # the server's virtual memory (prlimit --as)
RSS_BOUND = 256 * MIB
LATENCY_GOAL = 1.0          # for a real client's banner and its login during the flood
EVENTUALLY = 120.0
TREE = {"a.txt": b"a"}


def open_connections(port, count, deadline):
    """`count` connections whose banner has arrived, non-blocking."""
    selector = selectors.DefaultSelector()
    waiting = {}
    for _ in range(count):
        sock = socket.create_connection(("127.0.0.1", port), timeout=EVENTUALLY)
        sock.setblocking(False)
        waiting[sock] = b""
        selector.register(sock, selectors.EVENT_READ)
    socks = list(waiting)
    while waiting and time.monotonic() < deadline:
        for key, _ in selector.select(timeout=0.5):
            chunk = key.fileobj.recv(4096)
            if not chunk:
                raise AssertionError("a connection was closed before its banner")
            waiting[key.fileobj] += chunk
            if waiting[key.fileobj].endswith(b"\r\n"):
                selector.unregister(key.fileobj)
                del waiting[key.fileobj]
    selector.close()
    if waiting:
        raise AssertionError("%d connections got no banner" % len(waiting))
    return socks


def wait_writable(socks):
    with selectors.DefaultSelector() as selector:
        for sock in socks:
            selector.register(sock, selectors.EVENT_WRITE)
        selector.select(timeout=1.0)


def go_on(socks, deadline):
    """Each connection sends the rest of its line, PIECE by PIECE, until the server ends it or the
    line is done (the system may take a whole line in its buffers before the end arrives)."""
    piece = b"u" * PIECE
    sent = {sock: HELD for sock in socks}
    pending = list(socks)
    while pending and time.monotonic() < deadline:
        wave, pending = pending[:WAVE], pending[WAVE:]
        while wave and time.monotonic() < deadline:
            still = []
            for sock in wave:
                try:
                    count = sock.send(piece[:min(PIECE, LINE - sent[sock])])
                except BlockingIOError:
                    still.append(sock)
                    continue
                except OSError:
                    continue
                sent[sock] += count
                if sent[sock] < LINE:
                    still.append(sock)
            wave = still
            if wave:
                # Room comes when the server reads, and the end when it closes: wait for either.
                wait_writable(wave)


def ended_by_server(socks, deadline):
    """How many of the connections the server has ended (closed or reset), waiting for each."""
    ended = 0
    with selectors.DefaultSelector() as selector:
        for sock in socks:
            selector.register(sock, selectors.EVENT_READ)
        left = len(socks)
        while left and time.monotonic() < deadline:
            for key, _ in selector.select(timeout=1.0):
                try:
                    if key.fileobj.recv(4096):
                        continue  # nothing is expected, but it would not end the connection
                except BlockingIOError:
                    continue
                except OSError:
                    pass
                ended += 1
                left -= 1
                selector.unregister(key.fileobj)
    return ended


def run(context):
    report = context.report
    root = make_tree(context.scratch.path("flood"), TREE)
    server = Server(root + "=flood", wrapper=["prlimit", "--as=%d" % ADDRESS_LIMIT])
    socks = []
    try:
        baseline = server.rss_bytes()
        deadline = time.monotonic() + 600
        with MemoryGuard(server, ADDRESS_LIMIT) as guard, Prober(server.port) as prober:
            started = time.monotonic()
            socks = open_connections(server.port, CONNECTIONS, deadline)
            for sock in socks:
                sock.sendall(b"USER " + b"u" * (HELD - len(b"USER ")))
            try:
                wait_until(lambda: unread_bytes(server.port) == 0, timeout=EVENTUALLY, interval=0.1,
                           what="the server to read every held line")
            except AssertionError:
                pass
            held_rss = server.rss_bytes()
            report.note("connections opened, each holding %d bytes" % HELD, "%d in %.1f s"
                        % (len(socks), time.monotonic() - started))
            report.fact("RSS while %d connections hold their line (baseline %s)" % (len(socks), megabytes(baseline)),
                        megabytes(held_rss), "< %s" % megabytes(RSS_BOUND), held_rss < RSS_BOUND)
            started = time.monotonic()
            go_on(socks, deadline)
            ended = ended_by_server(socks, deadline)
            report.fact("connections the server ended", "%d of %d in %.1f s" % (
                ended, len(socks), time.monotonic() - started), "all", ended == len(socks))
        alive = server.process.poll() is None and answers(server.port)
        report.fact("server alive and answering afterwards", "yes" if alive else "no", "yes", alive)
        report.fact("peak RSS", megabytes(guard.peak), "< %s" % megabytes(RSS_BOUND),
                    guard.peak < RSS_BOUND and not guard.tripped)
        lines = server.log_text().count("Line too long.\r\n")
        report.fact("connections logged as 'Line too long.'", str(lines), str(len(socks)), lines == len(socks))
        served = len(prober.banners)
        report.fact("real clients served during the flood", "%d, %d failed" % (served, len(prober.failures)),
                    "> 0, 0 failed", served > 0 and not prober.failures)
        for name, samples in (("banner", prober.banners), ("login", prober.logins)):
            if samples:
                worst = max(samples)
                report.goal("real client's %s latency: median, max" % name, "%s, %s" % (
                    milliseconds(percentile(samples, 0.5)), milliseconds(worst)),
                    "max < %s" % milliseconds(LATENCY_GOAL), worst < LATENCY_GOAL)
    finally:
        for sock in socks:
            close_with_reset(sock)
        stop_server(server)
