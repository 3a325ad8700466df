"""Data connections over loopback: PORT, EPRT, PASV and EPSV replies and refusals over IPv4 and
IPv6, the data-peer check in both directions (127.0.0.2 is a second loopback address), a refused
active connect, passive connections made before and after the transfer command, and the one
transfer that each data connection carries."""

import os
import select
import shutil
import socket
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import (  # noqa: E402
    UNDER_WINE, Control, Server, epsv_port, ipv6_loopback_works, make_tree, pasv_port, read_to_end,
    settled_counts, stop_when_settled)

ROOT = "dataroot"
TREE = {"one.txt": b"1", "big.bin": os.urandom(12 * 1024 * 1024), "sub": None}
ROOT_LISTING_NAMES = sorted(["one.txt", "big.bin", "sub"])
TIMEOUT = 20.0

tree_home = None
tree_dir = None


def setUpModule():
    global tree_home, tree_dir
    tree_home = tempfile.mkdtemp(prefix="swp-data-")
    tree_dir = make_tree(os.path.join(tree_home, ROOT), TREE)


def tearDownModule():
    shutil.rmtree(tree_home, ignore_errors=True)


def connect(host, port, source=None, receive_buffer=None):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.settimeout(TIMEOUT)
    if receive_buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    if source:
        sock.bind((source, 0))
    sock.connect((host, port))
    return sock


def listener(host):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.settimeout(TIMEOUT)
    sock.bind((host, 0))
    sock.listen(4)
    return sock


def names_of(listing):
    return sorted(line.rsplit(" ", 1)[1] for line in listing.decode("utf-8").split("\r\n") if line)


def closed_port(host="127.0.0.1"):
    """A port on which nothing listens (bound, never listened, then closed)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind((host, 0))
        return sock.getsockname()[1]


def reply_waiting(control, timeout=0.3):
    """True when a reply has arrived (or arrives within timeout); a bounded negative check."""
    if control.buffer:
        return True
    readable, _, _ = select.select([control.sock], [], [], timeout)
    return bool(readable)


class DataTest(unittest.TestCase):
    server_args = ()
    bind = "127.0.0.1"
    host = "127.0.0.1"

    @classmethod
    def setUpClass(cls):
        cls.server = Server(tree_dir + "=" + ROOT, args=list(cls.server_args), bind=cls.bind)

        cls.baseline = settled_counts(cls.server)

    @classmethod
    def tearDownClass(cls):
        stop_when_settled(cls.server, cls.baseline)

    def setUp(self):
        self.control = Control(self.server.port, host=self.host)
        self.control.login()
        self.assertTrue(self.command("CWD /" + ROOT).startswith("250"))

    def tearDown(self):
        self.assertEqual(self.command("NOOP")[:4], "200 ", "the control connection stays usable")
        self.control.close()

    def command(self, line):
        return self.control.command(line)

    def expect_list_over(self, data_socket_factory):
        """Sends LIST, accepts the data connection the factory yields, checks 150, listing, 226."""
        self.control.send_line("LIST")
        data = data_socket_factory()
        self.assertEqual(self.control.read_reply(), "150 Data connection accepted; transfer starting.\r\n")
        self.assertEqual(names_of(read_to_end(data)), ROOT_LISTING_NAMES)
        self.assertEqual(self.control.read_reply(), "226 Transfer complete.\r\n")

    def active_list(self, target_listener):
        def accept():
            data, _ = target_listener.accept()
            data.settimeout(TIMEOUT)
            return data
        self.expect_list_over(accept)


class Port(DataTest):
    def test_port_connects_to_the_given_address_and_port_once(self):
        with listener("127.0.0.1") as target:
            port = target.getsockname()[1]
            reply = self.command("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255))
            self.assertEqual(reply, "200 Port command successful.\r\n")
            self.active_list(target)
        self.assertEqual(self.command("LIST"), "503 Invalid sequence of commands.\r\n")

    def test_port_numbers_are_not_masked_to_eight_bits(self):
        with listener("127.0.0.1") as target:
            port = target.getsockname()[1]
            # 383 has the low byte 127; the last number carries the whole port.
            self.assertEqual(self.command("PORT 383,0,0,1,0,%d" % port), "200 Port command successful.\r\n")
            self.active_list(target)

    def test_foreign_address_refused_then_no_data_mode(self):
        self.assertEqual(self.command("PORT 10,0,0,9,4,1"), "500 Failed to connect to IP.\r\n")
        self.assertEqual(self.command("LIST"), "503 Invalid sequence of commands.\r\n")

    def test_privileged_wrapping_and_own_ports_refused_like_a_foreign_address(self):
        # 65557 is 21 once cut to 16 bits; the server's own control port would run the data as commands.
        for port in (0, 21, 1023, 65557, self.server.port):
            self.assertEqual(self.command("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255)),
                             "500 Failed to connect to IP.\r\n", port)
        self.assertEqual(self.command("LIST"), "503 Invalid sequence of commands.\r\n")
        self.assertEqual(self.command("PORT 127,0,0,1,4,0"), "200 Port command successful.\r\n")

    def test_refused_connect_gives_426_with_the_winsock_code(self):
        port = closed_port()
        self.assertEqual(self.command("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255)),
                         "200 Port command successful.\r\n")
        self.assertEqual(self.command("LIST"), "426 Unable to connect to port 10061\r\n")
        self.assertEqual(self.command("LIST"), "503 Invalid sequence of commands.\r\n")

    def test_transfer_without_any_data_command(self):
        self.assertEqual(self.command("LIST"), "503 Invalid sequence of commands.\r\n")
        self.assertEqual(self.command("RETR one.txt"), "503 Invalid sequence of commands.\r\n")
        self.assertEqual(self.command("MLSD"), "503 Invalid sequence of commands.\r\n")


class Eprt(DataTest):
    def test_eprt_ipv4_connects(self):
        with listener("127.0.0.1") as target:
            reply = self.command("EPRT |1|127.0.0.1|%d|" % target.getsockname()[1])
            self.assertEqual(reply, "200 Port command successful.\r\n")
            self.active_list(target)

    def test_unknown_protocol_and_other_delimiters(self):
        reply = "522 Extended Port Failure - unknown network protocol. Supported protocols: (1,2)\r\n"
        self.assertEqual(self.command("EPRT |3|127.0.0.1|1025|"), reply)
        self.assertEqual(self.command("EPRT !1!127.0.0.1!1025!"), reply)
        self.assertEqual(self.command("EPRT"), reply)
        self.assertEqual(self.command("LIST"), "503 Invalid sequence of commands.\r\n")

    def test_other_family_or_address_refused_while_checking(self):
        self.assertEqual(self.command("EPRT |2|::1|1025|"), "500 Failed to connect to IP.\r\n")
        self.assertEqual(self.command("EPRT |1|127.0.0.2|1025|"), "500 Failed to connect to IP.\r\n")
        self.assertEqual(self.command("LIST"), "503 Invalid sequence of commands.\r\n")

    def test_unreadable_address_refused_at_once(self):
        for argument in ("|1|not-an-address|1025|", "|1|::1|1025|", "|2|127.0.0.1|1025|", "|1||1025|"):
            self.assertEqual(self.command("EPRT " + argument), "500 Failed to connect to IP.\r\n", argument)
        self.assertEqual(self.command("LIST"), "503 Invalid sequence of commands.\r\n")

    def test_privileged_and_own_ports_refused_like_a_foreign_address(self):
        for port in (0, 21, 1023, 65557, self.server.port):
            self.assertEqual(self.command("EPRT |1|127.0.0.1|%d|" % port), "500 Failed to connect to IP.\r\n", port)
        self.assertEqual(self.command("LIST"), "503 Invalid sequence of commands.\r\n")
        self.assertEqual(self.command("EPRT |1|127.0.0.1|1024|"), "200 Port command successful.\r\n")

    def test_refused_connect_gives_426(self):
        self.assertEqual(self.command("EPRT |1|127.0.0.1|%d|" % closed_port()), "200 Port command successful.\r\n")
        self.assertEqual(self.command("MLSD"), "426 Unable to connect to port 10061\r\n")


class Passive(DataTest):
    def test_pasv_reply_and_listing(self):
        host, port = pasv_port(self.command("PASV"))
        self.assertEqual(host, "127.0.0.1")
        self.expect_list_over(lambda: connect(host, port))
        self.assertEqual(self.command("LIST"), "503 Invalid sequence of commands.\r\n")

    def test_epsv_reply_and_listing_ignores_all(self):
        port = epsv_port(self.command("EPSV ALL"))
        self.expect_list_over(lambda: connect(self.host, port))

    def test_passive_listeners_take_only_the_address_the_client_reached(self):
        # 127.0.0.2 reaches this machine too, as another interface would.
        for passive_port in (lambda: pasv_port(self.command("PASV"))[1], lambda: epsv_port(self.command("EPSV"))):
            port = passive_port()
            with self.assertRaises(ConnectionRefusedError):
                connect("127.0.0.2", port).close()
            self.expect_list_over(lambda: connect("127.0.0.1", port))

    def test_connection_before_the_command_is_used_by_it(self):
        port = epsv_port(self.command("EPSV"))
        data = connect(self.host, port)
        # The NOOP round trip guarantees the accept event was handled first.
        self.assertEqual(self.command("NOOP")[:3], "200")
        self.expect_list_over(lambda: data)

    def test_command_before_the_connection_waits_for_it(self):
        port = epsv_port(self.command("EPSV"))
        self.control.send_line("LIST")
        self.assertFalse(reply_waiting(self.control), "no 150 before the client connects")
        data = connect(self.host, port)
        self.assertEqual(self.control.read_reply(), "150 Data connection accepted; transfer starting.\r\n")
        self.assertEqual(names_of(read_to_end(data)), ROOT_LISTING_NAMES)
        self.assertEqual(self.control.read_reply(), "226 Transfer complete.\r\n")

    def test_a_second_pasv_closes_the_first_listener(self):
        _, first = pasv_port(self.command("PASV"))
        _, second = pasv_port(self.command("PASV"))
        self.assertNotEqual(first, second)
        with self.assertRaises(ConnectionRefusedError):
            connect("127.0.0.1", first).close()
        self.expect_list_over(lambda: connect("127.0.0.1", second))

    def test_port_after_pasv_closes_the_listener(self):
        _, port = pasv_port(self.command("PASV"))
        with listener("127.0.0.1") as target:
            active = target.getsockname()[1]
            self.assertEqual(self.command("PORT 127,0,0,1,%d,%d" % (active >> 8, active & 255)),
                             "200 Port command successful.\r\n")
            with self.assertRaises(ConnectionRefusedError):
                connect("127.0.0.1", port).close()
            self.active_list(target)

    def test_connection_from_another_address_is_refused_and_ends_passive_mode(self):
        port = epsv_port(self.command("EPSV"))
        data = connect("127.0.0.1", port, source="127.0.0.2")
        self.assertEqual(self.control.read_reply(), "500 Failed to connect to IP.\r\n")
        self.assertEqual(read_to_end(data), b"")
        self.assertEqual(self.command("LIST"), "503 Invalid sequence of commands.\r\n")
        with self.assertRaises(ConnectionRefusedError):
            connect("127.0.0.1", port).close()

    def test_missing_folder_keeps_the_mode_and_the_accepted_connection(self):
        port = epsv_port(self.command("EPSV"))
        data = connect(self.host, port)
        self.assertEqual(self.command("LIST /%s/nosuch" % ROOT), "550 Directory not found.\r\n")
        self.assertEqual(self.command("MLSD one.txt"), "550 Directory not found.\r\n")
        self.expect_list_over(lambda: data)

    def test_command_during_a_transfer_is_refused_and_the_transfer_goes_on(self):
        port = epsv_port(self.command("EPSV"))
        data = connect(self.host, port, receive_buffer=4096)
        self.control.send_line("RETR big.bin")
        self.assertEqual(self.control.read_reply(), "150 Data connection accepted; transfer starting.\r\n")
        first = data.recv(1024)
        self.assertTrue(first)
        self.assertEqual(self.command("NOOP"), "503 Invalid sequence of commands.\r\n")
        self.assertEqual(self.command("PASV"), "503 Invalid sequence of commands.\r\n")
        self.assertEqual(first + read_to_end(data), TREE["big.bin"])
        self.assertEqual(self.control.read_reply(), "226 Transfer complete.\r\n")


class DataPeerCheckOff(DataTest):
    server_args = ("--set", "check_ftp_data_connection_ip=0")

    def test_foreign_port_target_accepted(self):
        self.assertEqual(self.command("PORT 10,0,0,9,4,1"), "200 Port command successful.\r\n")

    def test_second_loopback_address_reached_actively_and_passively(self):
        with listener("127.0.0.2") as target:
            self.assertEqual(self.command("EPRT |1|127.0.0.2|%d|" % target.getsockname()[1]),
                             "200 Port command successful.\r\n")
            self.active_list(target)
        port = epsv_port(self.command("EPSV"))
        self.expect_list_over(lambda: connect("127.0.0.1", port, source="127.0.0.2"))

    def test_privileged_ports_accepted(self):
        for port in (0, 21, 1023, 1024):
            self.assertEqual(self.command("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255)),
                             "200 Port command successful.\r\n", port)
            self.assertEqual(self.command("EPRT |1|127.0.0.1|%d|" % port), "200 Port command successful.\r\n", port)

    def test_unreadable_eprt_address_still_refused(self):
        self.assertEqual(self.command("EPRT |1|nonsense|1025|"), "500 Failed to connect to IP.\r\n")
        self.assertEqual(self.command("EPRT |2|127.0.0.1|1025|"), "500 Failed to connect to IP.\r\n")


def free_port_range(count):
    """count ports from one the system has just handed out (and taken back)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        first = min(probe.getsockname()[1], 65536 - count)
    return first, first + count - 1


PASSIVE_RANGE = free_port_range(20)


class PassivePortRange(DataTest):
    server_args = ("--passive-ports", "%d-%d" % PASSIVE_RANGE)

    def test_passive_listeners_take_the_ports_of_the_range_in_turn(self):
        first, last = PASSIVE_RANGE
        if UNDER_WINE:
            # Windows keeps one dynamic port range for the whole machine: the host says it applies none.
            self.assertIn("the range %d-%d is not applied" % PASSIVE_RANGE, self.server.stderr_text())
            return
        self.assertTrue(first <= self.server.port <= last, "--port 0 takes its port from the range too")
        ports = [epsv_port(self.command("EPSV")), pasv_port(self.command("PASV"))[1], epsv_port(self.command("EPSV"))]
        for port in ports:
            self.assertTrue(first <= port <= last, ports)
        # Each listener closes when the next is made; the cursor has moved on all the same.
        self.assertEqual(len(set(ports)), 3, ports)
        self.expect_list_over(lambda: connect(self.host, ports[-1]))


class ActiveModeOff(DataTest):
    server_args = ("--set", "allow_ftp_port=0")

    def test_port_and_eprt_refused(self):
        self.assertEqual(self.command("PORT 127,0,0,1,4,1"), "501 Invalid option.\r\n")
        self.assertEqual(self.command("EPRT |1|127.0.0.1|1025|"), "501 Invalid option.\r\n")
        port = epsv_port(self.command("EPSV"))
        self.expect_list_over(lambda: connect(self.host, port))


@unittest.skipUnless(ipv6_loopback_works(), "no IPv6 loopback")
class OverIpv6(DataTest):
    bind = "::1"
    host = "::1"

    def test_pasv_refused_epsv_listens_on_ipv6(self):
        self.assertEqual(self.command("PASV"),
                         "500 PASV is not available when using IPv6, please use IPv4 or EPSV.\r\n")
        port = epsv_port(self.command("EPSV"))
        self.expect_list_over(lambda: connect("::1", port))

    def test_port_refused_while_checking(self):
        self.assertEqual(self.command("PORT 127,0,0,1,4,1"), "500 Failed to connect to IP.\r\n")
        self.assertEqual(self.command("EPRT |1|127.0.0.1|1025|"), "500 Failed to connect to IP.\r\n")

    def test_eprt_ipv6_connects(self):
        with listener("::1") as target:
            self.assertEqual(self.command("EPRT |2|::1|%d|" % target.getsockname()[1]),
                             "200 Port command successful.\r\n")
            self.active_list(target)

    def test_ipv4_client_cannot_use_an_ipv6_listener(self):
        port = epsv_port(self.command("EPSV"))
        with self.assertRaises(OSError):
            connect("127.0.0.1", port).close()
        self.expect_list_over(lambda: connect("::1", port))


@unittest.skipUnless(ipv6_loopback_works(), "no IPv6 loopback")
class Ipv6PortWithCheckOff(DataTest):
    bind = "::1"
    host = "::1"
    server_args = ("--set", "check_ftp_data_connection_ip=0")

    def test_port_from_ipv6_accepted_and_connects_over_ipv4(self):
        with listener("127.0.0.1") as target:
            port = target.getsockname()[1]
            self.assertEqual(self.command("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255)),
                             "200 Port command successful.\r\n")
            self.active_list(target)


if __name__ == "__main__":
    unittest.main()
