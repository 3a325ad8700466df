"""The descriptor limit: swp-host under `prlimit --nofile=256` with 400 clients. The clients the
server has descriptors for log on, so that none of them may be closed to make room (the idle
lock-out case covers clients that never log on). The clients past the limit wait without the server
spinning (its CPU time while they wait is printed and bounded), the connected ones are served
meanwhile, and the waiting ones are accepted once others leave."""

import selectors
import socket
import time

from fault_clients import answers
from fault_server import counts_back, counts_return, cpu_share, idle_counts, server_clients, stop_server
from swp_harness import Control, Server, close_with_reset, descriptors, make_tree, wait_until

LIMIT = 256
CLIENTS = 400
WAIT_SECONDS = 3.0       # how long the CPU time is taken over while clients wait
SPIN_SHARE = 0.2         # of one core: far above an idle server, far below one that spins
EVENTUALLY = 30.0
SPARE = 16               # descriptors the server may keep free at its limit
TREE = {"a.txt": b"a"}


def logged_on_socket(port):
    """A raw connection that has read its banner and logged on."""
    control = Control(port, timeout=EVENTUALLY)
    control.login()
    control.sock.setblocking(False)
    return control.sock


class Crowd:
    """Many raw client connections: the first `room` log on one at a time; the others are accepted
    once their banner has arrived, closed when the server ended them without one, waiting
    otherwise."""

    def __init__(self, port, count, room):
        self.selector = selectors.DefaultSelector()
        self.banners = {}
        self.accepted, self.closed = [], []
        for _ in range(room):
            sock = logged_on_socket(port)
            self.banners[sock] = b"220"
            self.accepted.append(sock)
        for _ in range(count - room):
            sock = socket.create_connection(("127.0.0.1", port), timeout=EVENTUALLY)
            sock.setblocking(False)
            self.banners[sock] = b""
            self.selector.register(sock, selectors.EVENT_READ)

    def poll(self, timeout=0.05):
        """Reads what has arrived; returns the number still waiting."""
        for key, _ in self.selector.select(timeout):
            sock = key.fileobj
            try:
                chunk = sock.recv(65536)
            except BlockingIOError:
                continue
            except OSError:
                chunk = b""
            self.banners[sock] += chunk
            if chunk and b"\r\n" not in self.banners[sock]:
                continue
            self.selector.unregister(sock)
            (self.accepted if chunk else self.closed).append(sock)
        return self.waiting()

    def waiting(self):
        return len(self.banners) - len(self.accepted) - len(self.closed)

    def full(self, server):
        """Every client the server holds has its banner, and the server is at its limit."""
        self.poll()
        return len(self.accepted) == server_clients(server) and len(descriptors(server.pid)) >= LIMIT - SPARE

    def leave(self, count):
        """The first `count` accepted clients go away."""
        for sock in self.accepted[:count]:
            close_with_reset(sock)
            del self.banners[sock]
        self.accepted = self.accepted[count:]

    def close(self):
        for sock in self.banners:
            close_with_reset(sock)
        self.selector.close()


EVICTED = b"421 Closed for a new connection: idle before login.\r\n"


def noop_reply(sock):
    """The reply to NOOP on an accepted raw connection, b"" when none came within the deadline."""
    sock.settimeout(EVENTUALLY)
    reply = b""
    try:
        sock.sendall(b"NOOP\r\n")
        while not reply.endswith(b"\r\n"):
            chunk = sock.recv(4096)
            if not chunk:
                return reply
            reply += chunk
    except OSError:
        pass
    return reply


def served(socks):
    return sum(noop_reply(sock) == b"200 OK.\r\n" for sock in socks)


def run(context):
    report = context.report
    root = make_tree(context.scratch.path("limit"), TREE)
    server = Server(root + "=limit", wrapper=["prlimit", "--nofile=%d" % LIMIT])
    crowd = None
    try:
        baseline = idle_counts(server)
        room = LIMIT - len(descriptors(server.pid))
        crowd = Crowd(server.port, CLIENTS, room)
        try:
            wait_until(lambda: crowd.full(server), timeout=EVENTUALLY, interval=0)
        except AssertionError:
            pass
        waiting = crowd.waiting()
        report.fact("clients accepted, waiting, closed", "%d, %d, %d" % (len(crowd.accepted), waiting,
                    len(crowd.closed)), "waiting > 0, closed 0", waiting > 0 and not crowd.closed)
        share = cpu_share(server, WAIT_SECONDS)
        report.fact("CPU while clients wait", "%.0f%% of a core over %.0f s" % (share * 100, WAIT_SECONDS),
                    "< %.0f%%" % (SPIN_SHARE * 100), share < SPIN_SHARE)
        answered = served(crowd.accepted)
        report.fact("accepted clients served while others wait", "%d of %d" % (answered, len(crowd.accepted)),
                    "all", answered == len(crowd.accepted))
        leaving = min(len(crowd.accepted), waiting + SPARE)
        crowd.leave(leaving)
        started = time.monotonic()
        try:
            wait_until(lambda: crowd.poll() == 0, timeout=EVENTUALLY, interval=0)
        except AssertionError:
            pass
        report.fact("waiting clients accepted after %d left" % leaving, "%d of %d in %.1f s" % (
            waiting - crowd.waiting(), waiting, time.monotonic() - started), "all, within %.0f s" % EVENTUALLY,
            crowd.waiting() == 0 and not crowd.closed)
        # The late clients have not logged on: an accept that meets the limit before the server has
        # seen every leaving client go may close one of them for a newcomer, with its 421.
        late = crowd.accepted[-waiting:] if waiting else []
        replies = [noop_reply(sock) for sock in late]
        answered, evicted = replies.count(b"200 OK.\r\n"), replies.count(EVICTED)
        others = [reply for reply in replies if reply not in (b"200 OK.\r\n", EVICTED)]
        report.fact("late clients served, closed for a newcomer (421)", "%d, %d of %d%s" % (
            answered, evicted, len(late), "; first other reply %r" % others[0][:60] if others else ""),
            "all, counted together", not others)
        crowd.close()
        crowd = None
        alive = answers(server.port)
        report.fact("server answers afterwards", "yes" if alive else "no", "yes", alive)
        left = counts_return(server, baseline)
        report.fact("threads, descriptors afterwards", "%d, %d" % left, "at most %d, %d (before)" % baseline,
                    counts_back(left, baseline))
    finally:
        if crowd:
            crowd.close()
        stop_server(server)
