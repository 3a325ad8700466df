"""Clients of the fault suite: logged-on control connections, data connections and many clients
on threads of their own with one deadline."""

import socket
import threading
import time

from swp_harness import Control


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


def probe_once(port, timeout=30.0, kept=None):
    """A real client: connects, reads the banner, logs on and gets a NOOP answered. Returns the
    seconds until the banner and from then until the login was answered; raises when it is not
    served. The connection is closed, or appended to `kept` when that is a list."""
    started = time.monotonic()
    control = Control(port, timeout=timeout)
    try:
        banner = time.monotonic()
        if not control.banner.startswith("220"):
            raise AssertionError("banner: %r" % control.banner)
        control.login()
        logged = time.monotonic()
        if control.command("NOOP") != "200 OK.\r\n":
            raise AssertionError("NOOP not answered")
    finally:
        if kept is None:
            control.close()
        else:
            kept.append(control)
    return banner - started, logged - banner


class Prober:
    """Real clients one after another on a thread of their own while a load runs, a few a second:
    the banner and login latencies of those served, and the failures."""

    def __init__(self, port, every=0.05):
        self.port, self.every = port, every
        self.banners, self.logins, self.failures = [], [], []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            try:
                banner, login = probe_once(self.port)
                self.banners.append(banner)
                self.logins.append(login)
            except (OSError, EOFError, AssertionError) as error:
                self.failures.append(error)
            self._stop.wait(self.every)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=60)
