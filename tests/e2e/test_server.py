"""swp-host end to end: the server's start and stop, its listeners (also once descriptors run
out), the start-up error and the activity log."""

import os
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import (  # noqa: E402
    UNDER_WINE, Control, Server, console_text, default_state_folder, host_command, host_environment, settled_counts,
    stop_process, wait_until)


def occupied_port():
    """A listening socket of the test's own on 127.0.0.1 and its port."""
    blocker = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    blocker.bind(("127.0.0.1", 0))
    blocker.listen(1)
    return blocker, blocker.getsockname()[1]


def closed_by_peer(sock, timeout=20.0):
    """True once the peer has closed the connection; whatever it sent before is skipped."""
    sock.settimeout(timeout)
    try:
        while sock.recv(65536):
            pass
    except ConnectionResetError:
        pass
    return True


def run_to_exit(args, env_home, timeout=60):
    """Runs swp-host with a private settings and state folder until it exits on its own."""
    command = host_command(["--settings", os.path.join(env_home, "settings.ini")] + list(args))
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, env=host_environment(env_home),
                          timeout=timeout)


class ServerLifecycle(unittest.TestCase):
    def test_start_serves_and_sigterm_stops_with_exit_zero(self):
        with Server() as server:
            self.assertEqual(server.listeners[0][0], "127.0.0.1")
            server.wait_for_log("SWP server online.\r\n")
            with socket.create_connection(("127.0.0.1", server.port), timeout=20):
                pass
            self.assertEqual(server.stop(), 0)
            lines = server.log_text().split("\r\n")
            self.assertEqual(lines[-1], "")
            self.assertTrue(lines[0].endswith(": SWP server online."), lines[0])
            self.assertTrue(lines[-2].endswith(": SWP server offline."), lines[-2])
            self.assertEqual(server.log_text().count("SWP server online."), 1)
            self.assertEqual(server.log_text().count("SWP server offline."), 1)

    def test_connected_clients_are_disconnected_before_the_offline_line(self):
        with Server() as server:
            first = socket.create_connection(("127.0.0.1", server.port), timeout=20)
            second = socket.create_connection(("127.0.0.1", server.port), timeout=20)
            wait_until(lambda: server.log_text().count("Connected.\r\n") == 2, what="two connections logged")
            self.assertEqual(server.stop(), 0)
            tail = [line.rsplit(": ", 1)[-1] for line in server.log_text().split("\r\n")[-4:-1]]
            self.assertEqual(tail, ["Disconnected.", "Disconnected.", "SWP server offline."])
            for sock in (first, second):
                self.assertTrue(closed_by_peer(sock))
                sock.close()

    def test_empty_item_between_two_addresses_gives_two_listeners(self):
        with Server(bind="127.0.0.1,,::1") as server:
            wait_until(lambda: len(server.listeners) >= 2, what="two listening lines")
            self.assertEqual([address for address, _ in server.listeners], ["127.0.0.1", "::1"])
            for address, port in server.listeners:
                family = socket.AF_INET6 if ":" in address else socket.AF_INET
                with socket.socket(family, socket.SOCK_STREAM) as probe:
                    probe.settimeout(20)
                    probe.connect((address, port))
            self.assertEqual(server.stop(), 0)

    def test_unresolvable_second_binding_keeps_the_first_listener(self):
        with Server(bind="127.0.0.1,no-such-host.invalid") as server:
            server.wait_for_log("SWP server online.\r\n")
            self.assertEqual(len(server.listeners), 1)
            self.assertEqual(server.stop(), 0)


@unittest.skipIf(UNDER_WINE, "about Linux descriptor limits")
class ListenerOutOfDescriptors(unittest.TestCase):
    ROOM = 8  # connections the server has descriptors for
    WAITING = 8
    RETRY_S = 0.1  # the listener's retry interval

    def test_waiting_connections_do_not_spin_and_are_accepted_once_clients_leave(self):
        with Server(args=["--verbose"]) as server:
            settled_counts(server)
            highest = max(int(name) for name in os.listdir("/proc/%d/fd" % server.pid))
            hard = resource.prlimit(server.pid, resource.RLIMIT_NOFILE)[1]
            resource.prlimit(server.pid, resource.RLIMIT_NOFILE, (highest + 1 + self.ROOM, hard))

            def listen_events():
                return server.stderr_text().count("listen event ")

            def connected():
                return server.log_text().count("Connected.\r\n")

            # The connections the server has descriptors for log on one at a time, so that none of
            # them may be closed for a new one; the rest wait.
            room = highest + 1 + self.ROOM - len(os.listdir("/proc/%d/fd" % server.pid))
            before = connected()
            clients = []
            try:
                for _ in range(room):
                    clients.append(Control(server.port))
                    clients[-1].login()
                clients += [Control(server.port, read_banner=False) for _ in range(self.WAITING)]
                # A listen event that accepted nothing: the descriptors have run out.
                wait_until(lambda: listen_events() > connected(), what="accepting to fail for want of descriptors")
                accepted = room
                wait_until(lambda: connected() - before == accepted, what="the logged-on connections logged")
                first = clients[0]

                # While connections wait, the listener asks again only at its retry interval, and
                # a connected client is served.
                start, events = time.monotonic(), listen_events()
                first.login()
                self.assertEqual(first.command("NOOP"), "200 OK.\r\n")
                # Six events span five retry intervals; the bound leaves room for events that
                # happened before `start` but were read after it.
                wait_until(lambda: listen_events() >= events + 6, what="six more listen events")
                elapsed = time.monotonic() - start
                self.assertGreater(elapsed, 3 * self.RETRY_S,
                                   "%d listen events in %.3f s: the listener spins" % (listen_events() - events, elapsed))

                for client in clients[:accepted]:
                    client.close()
                for client in clients[accepted:]:
                    self.assertTrue(client.read_reply().startswith("220 "))
                wait_until(lambda: connected() - before == len(clients), what="every connection logged")
            finally:
                for client in clients:
                    client.close()
            self.assertEqual(server.stop(), 0)


class ServerStartFailure(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="swp-e2e-server-")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def test_port_in_use_shows_the_bind_error_and_exits_one(self):
        blocker, port = occupied_port()
        log_path = os.path.join(self.home, "activity.log")
        try:
            result = run_to_exit(["--port", str(port), "--bind", "127.0.0.1", "--log", log_path], self.home)
        finally:
            blocker.close()
        stderr = console_text(result.stderr)
        self.assertEqual(result.returncode, 1, stderr)
        self.assertIn("10048", stderr)
        self.assertNotIn("listening on", stderr)
        with open(log_path, "rb") as log:
            text = log.read().decode("utf-8")
        self.assertNotIn("SWP server online.", text)
        self.assertTrue(text.endswith(": SWP server offline.\r\n"), text)

    def test_only_an_unresolvable_binding_exits_one_without_a_listener(self):
        log_path = os.path.join(self.home, "activity.log")
        result = run_to_exit(["--port", "0", "--bind", "no-such-host.invalid", "--log", log_path], self.home)
        stderr = console_text(result.stderr)
        self.assertEqual(result.returncode, 1, stderr)
        self.assertNotIn("listening on", stderr)
        with open(log_path, "rb") as log:
            self.assertEqual(log.read().decode("utf-8").count("SWP server offline.\r\n"), 1)


class ActivityLogFile(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="swp-e2e-log-")
        self.process = None

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)
        shutil.rmtree(self.home, ignore_errors=True)

    def start(self, args):
        command = host_command(["--settings", os.path.join(self.home, "settings.ini"), "--port", "0",
                                "--bind", "127.0.0.1"] + args)
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, env=host_environment(self.home))
        wait_until(lambda: b"listening on" in self.process.stderr.readline() or self.process.poll() is not None,
                   what="the listening line")
        self.assertIsNone(self.process.poll())

    def stop(self):
        self.assertEqual(stop_process(self.process), 0)
        self.process.stderr.close()

    def default_log(self):
        return os.path.join(default_state_folder(self.home), "Logs", "SWP_Server_Log.txt")

    def test_default_log_goes_to_the_logs_folder_of_the_state_home(self):
        path = self.default_log()
        if os.path.exists(path):  # under Wine the prefix's state folder outlives a test
            os.remove(path)
        self.start([])
        wait_until(lambda: os.path.exists(path), what="the default log file")
        self.stop()
        with open(path, "rb") as log:
            text = log.read().decode("utf-8")
        self.assertIn(": SWP server online.\r\n", text)
        self.assertTrue(text.endswith(": SWP server offline.\r\n"), text)

    def test_no_log_writes_no_file(self):
        path = self.default_log()
        folder_before = os.path.exists(os.path.dirname(path))
        size_before = os.path.getsize(path) if os.path.exists(path) else None
        self.start(["--no-log"])
        self.stop()
        self.assertEqual(os.path.exists(os.path.dirname(path)), folder_before)
        self.assertEqual(os.path.getsize(path) if os.path.exists(path) else None, size_before)


if __name__ == "__main__":
    unittest.main()
