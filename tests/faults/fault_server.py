"""The served host as the fault suite watches it: its CPU share, its memory under a guard, its
threads and descriptors at rest, and a stop that ends it whatever state it is in."""

import threading
import time

from fault_clients import logged_on
from swp_harness import descriptors, process_counts, settled_counts, wait_until


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


def idle_counts(server):
    """(threads, descriptors) of an idle server that has served a client and run a search, so
    that what it makes on first use (the search workers among it) is counted."""
    with logged_on(server.port) as control:
        control.send_line("SORRELWICK query")
        if not control.read_reply().startswith("200-Query results"):
            raise AssertionError("the warm-up search was not answered")
    return settled_counts(server)


def counts_back(counts, baseline):
    """Whether (threads, descriptors) are back where they were: the same descriptors, and no more
    threads (an idle search worker may have ended meanwhile, which is no leak)."""
    return counts[0] <= baseline[0] and counts[1] == baseline[1]


def counts_return(server, baseline, timeout=30.0):
    """Waits for the server's (threads, descriptors) to be back at `baseline`; returns what they
    are at the end."""
    try:
        wait_until(lambda: counts_back(process_counts(server.pid), baseline), timeout=timeout)
    except AssertionError:
        pass
    return process_counts(server.pid)


def unread_bytes(port):
    """Bytes that arrived on the IPv4 connections to `port` and that the server has not read yet."""
    total = 0
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            local_port = int(fields[1].rsplit(":", 1)[1], 16)
            if local_port == port and fields[3] == "01":  # established
                total += int(fields[4].split(":")[1], 16)
    return total


def server_clients(server):
    """The control connections the server holds."""
    return sum(name.startswith("socket:") for name in descriptors(server.pid)) - len(server.listeners)
