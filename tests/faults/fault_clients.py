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
