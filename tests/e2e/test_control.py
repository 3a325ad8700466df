"""The control channel over loopback against swp-host: line framing, the login table, the small
commands and their odd arguments, QUIT, peers that close, replies larger than the socket takes,
the activity log, and clients that push the line and reply bounds."""

import os
import re
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import BUILD_DIR, Control, Server, wait_until  # noqa: E402

CHUNK_DATA = 65528
MAX_COMMAND_LINE = 1024 * 1024
OK = "200 OK.\r\n"
UNKNOWN = "500 Syntax error, command unrecognized.\r\n"
NOT_LOGGED_ON = "530 Not logged on.\r\n"
WRONG_LOGIN = "530 Login or password incorrect!\r\n"
BAD_SEQUENCE = "503 Invalid sequence of commands.\r\n"
BANNER = "220 Welcome to Sorrelwick SWP/FTP\r\n"


def sanitized_build():
    """True when the build under test uses a sanitizer, whose shadow memory and quarantine make the
    server's RSS meaningless."""
    try:
        with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as cache:
            return any(re.match(r"SWP_SANITIZE:\w+=\S", line) for line in cache)
    except OSError:
        return False


def exchange(test, control, rows):
    """Sends each line and checks its reply byte for byte."""
    for line, reply in rows:
        control.send_raw(line if isinstance(line, bytes) else line.encode("utf-8") + b"\r\n")
        test.assertEqual(control.read_reply(), reply, "for line %r" % (line,))


def client_log_lines(log_text):
    """The client lines of the activity log as (socket, peer, message) with the message's CR LF."""
    lines = []
    for line in log_text.split("\r\n"):
        parts = line.split(": ", 3)
        if len(parts) == 4:
            lines.append((parts[1], parts[2], parts[3] + "\r\n"))
    return lines


class FramingTest(unittest.TestCase):
    """How the byte stream is cut into lines."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def setUp(self):
        self.control = Control(self.server.port)
        self.assertEqual(self.control.banner, BANNER)
        self.control.login()

    def tearDown(self):
        self.control.close()

    def test_two_lines_in_one_segment(self):
        self.control.send_raw(b"NOOP\r\nMODE X\r\n")
        self.assertEqual(self.control.read_reply(), OK)
        self.assertEqual(self.control.read_reply(), "501 Invalid mode X.\r\n")

    def test_one_line_over_many_sends(self):
        self.control.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for byte in b"MODE split\r":
            self.control.send_raw(bytes([byte]))
        self.control.send_raw(b"\n")
        self.assertEqual(self.control.read_reply(), "501 Invalid mode split.\r\n")

    def test_long_line_arrives_whole(self):
        argument = "x" * 100000
        self.control.send_line("MODE " + argument)
        self.assertEqual(self.control.read_reply(), "501 Invalid mode %s.\r\n" % argument)

    def test_line_feed_opening_a_new_chunk(self):
        # The line starts at the first byte of an empty chain, so its LF lands on the first byte
        # of the second chunk whatever sizes the server's reads have.
        argument = "y" * (CHUNK_DATA - len("MODE "))
        self.control.send_raw(("MODE " + argument).encode())
        self.control.send_raw(b"\nNOOP\r\n")
        self.assertEqual(self.control.read_reply(), "501 Invalid mode %s.\r\n" % argument)
        self.assertEqual(self.control.read_reply(), OK)

    def test_line_at_the_bound_arrives_whole(self):
        argument = "w" * (MAX_COMMAND_LINE - len("MODE "))
        self.control.send_raw(("MODE " + argument + "\n").encode())
        self.assertEqual(self.control.read_reply(), "501 Invalid mode %s.\r\n" % argument)

    def test_odd_line_endings_and_bytes(self):
        exchange(self, self.control, [
            (b"\n", UNKNOWN),
            (b"\r\n", UNKNOWN),
            (b"noop\r\n", OK),
            (b"noop\n", OK),
            (b"NoOp\r\n", OK),
            (b"MODE S\x00ignored\r\n", "504 Mode S not implemented.\r\n"),
            (b"NOOP\x00\r\n", OK),
            (b"MODE a\rb\r\n", "501 Invalid mode a\rb.\r\n"),
            (b"MODE c\r\r\n", "501 Invalid mode c\r.\r\n"),
        ])


class LineBoundTest(unittest.TestCase):
    def test_line_over_the_bound_ends_the_connection(self):
        with Server() as server:
            control = Control(server.port)
            control.login()

            def flood():
                try:
                    control.sock.sendall(b"A" * (MAX_COMMAND_LINE + 65536))
                except OSError:
                    pass  # the server may close while the rest is on its way

            sender = threading.Thread(target=flood, daemon=True)
            sender.start()
            self.assertTrue(control.is_closed(timeout=30))
            sender.join(timeout=30)
            control.close()
            server.wait_for_log("Line too long.\r\n")
            messages = [message for _, _, message in client_log_lines(server.log_text())]
            index = messages.index("Line too long.\r\n")
            self.assertEqual(messages[index + 1], "Disconnected.\r\n")
            # The server goes on serving others.
            with Control(server.port) as other:
                self.assertEqual(other.command("NOOP"), OK)


class LoginTest(unittest.TestCase):
    """The login table row by row, for the three ways a server can be configured."""

    def run_rows(self, args, rows):
        with Server(args=args) as server:
            for name, exchange_rows in rows:
                with self.subTest(name):
                    with Control(server.port) as control:
                        exchange(self, control, exchange_rows)

    def test_with_user_name_and_password(self):
        ask_bob = "331 Password required for bob\r\n"
        self.run_rows(["--user", "bob", "--password", "pw"], [
            ("right user, wrong then right password",
             [("USER bob", ask_bob), ("PASS nope", WRONG_LOGIN), ("PASS pw", "230 Logged on.\r\n"),
              ("PASS pw", BAD_SEQUENCE), ("PWD", '257 "/" is current directory.\r\n')]),
            ("wrong user, every PASS refused until the right USER",
             [("USER alice", "331 Password required for alice\r\n"), ("PASS pw", WRONG_LOGIN),
              ("PASS pw", WRONG_LOGIN), ("LIST", NOT_LOGGED_ON), ("USER bob", ask_bob),
              ("PASS pw", "230 Logged on.\r\n")]),
            ("names and passwords compared exactly",
             [("USER BOB", "331 Password required for BOB\r\n"), ("PASS pw", WRONG_LOGIN),
              ("USER bob ", "331 Password required for bob \r\n"), ("PASS pw", WRONG_LOGIN),
              ("USER bob", ask_bob), ("PASS PW", WRONG_LOGIN), ("PASS pw ", WRONG_LOGIN),
              ("PASS pw", "230 Logged on.\r\n")]),
            ("PASS first", [("PASS pw", NOT_LOGGED_ON), ("SYST", NOT_LOGGED_ON)]),
            ("USER with a wrong name while logged on logs off",
             [("USER bob", ask_bob), ("PASS pw", "230 Logged on.\r\n"),
              ("USER eve", "331 Password required for eve\r\n"), ("LIST", NOT_LOGGED_ON)]),
        ])

    def test_with_password_only(self):
        self.run_rows(["--password", "pw"], [
            ("any name, then the password",
             [("USER whoever", "331 Password required for whoever\r\n"), ("PASS x", WRONG_LOGIN),
              ("PASS pw", "230 Logged on.\r\n"), ("SYST", "215 UNIX emulated by Sorrelwick\r\n")]),
        ])

    def test_without_user_name_or_password(self):
        self.run_rows([], [
            ("any USER logs on at once",
             [("FEAT", NOT_LOGGED_ON), ("USER anyone", "230 Logged on.\r\n"), ("PASS x", BAD_SEQUENCE),
              ("SYST", "215 UNIX emulated by Sorrelwick\r\n")]),
        ])

    def test_with_user_name_only(self):
        self.run_rows(["--user", "bob"], [
            ("right name logs on at once", [("USER bob", "230 Logged on.\r\n")]),
            ("wrong name asks for a password that never fits",
             [("USER bobby", "331 Password required for bobby\r\n"), ("PASS ", WRONG_LOGIN)]),
        ])


class CommandsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def test_login_needed_for_matched_words_only(self):
        with Control(self.server.port) as control:
            for line in ["FEAT", "HELP", "SYST", "CDUP", "REST 1", "OPTS UTF8 ON", "PORT 127,0,0,1,4,1",
                         "MODE S", "STRU F", "SIZE x", "MDTM x", "RETR x", "LIST", "MLSD", "MLST", "PASV",
                         "EPSV", "EPRT |1|127.0.0.1|1025|", "TYPE I", "CWD x", "PWD", "XPWD",
                         "SORRELWICK case 1", "SITE CHMOD 644 x"]:
                self.assertEqual(control.command(line), NOT_LOGGED_ON, "for " + line)
            exchange(self, control, [("NOOP", OK), ("HELLO", UNKNOWN), ("", UNKNOWN)])

    def test_small_commands_and_their_odd_arguments(self):
        with Control(self.server.port) as control:
            control.login()
            exchange(self, control, [
                ("FEAT", "211-Features:\r\n MDTM\r\n REST STREAM\r\n SIZE\r\n MLST type*;size*;modify*;\r\n"
                         " MLSD\r\n UTF8\r\n SORRELWICK\r\n211 End\r\n"),
                ("HELP", "214-Site commands:\r\n SORRELWICK\r\n214 End\r\n"),
                ("SYST", "215 UNIX emulated by Sorrelwick\r\n"),
                ("MODE S", "504 Mode S not implemented.\r\n"),
                ("MODE X", "501 Invalid mode X.\r\n"),
                ("STRU F", "504 File structure F not implemented.\r\n"),
                ("STRU Q", "501 Invalid file structure Q.\r\n"),
                ("TYPE A", "200 Type set to ASCII (A).\r\n"),
                ("TYPE I", "200 Type set to Image (I).\r\n"),
                ("TYPE E", "504 Type E not implemented.\r\n"),
                ("TYPE A N", "500 Type A N not supported.\r\n"),
                ("TYPE L 8", "500 Type L 8 not supported.\r\n"),
                ("OPTS utf8 off", "200 UTF8 mode disabled.\r\n"),
                ("OPTS UTF8 ON", "200 UTF8 mode enabled.\r\n"),
                ("OPTS UTF8  ON", "501 Invalid option.\r\n"),
                ("OPTS MLST type;", "501 Invalid option.\r\n"),
                ("REST 100", "350 Restarting at 100.\r\n"),
                ("PWD", '257 "/" is current directory.\r\n'),
                ("XPWD", '257 "/" is current directory.\r\n'),
                ("SITE", "500 SITE: Missing argument.\r\n"),
                ("SITE CHMOD 644 x", "500 Unknown SITE command.\r\n"),
                ("SITE sorrelwick case 1", "200 Case set to (1).\r\n"),
                ("SORRELWICK", "500 Unknown Sorrelwick command.\r\n"),
                ("", UNKNOWN),
                ("NOOP", OK),
            ])

    def test_port_refused_when_not_allowed(self):
        with Server(args=["--set", "allow_ftp_port=0"]) as server, Control(server.port) as control:
            control.login()
            exchange(self, control, [("PORT 127,0,0,1,4,1", "501 Invalid option.\r\n"),
                                     ("EPRT |1|127.0.0.1|1025|", "501 Invalid option.\r\n")])

    def test_quit_then_noop_in_one_segment(self):
        with Control(self.server.port) as control:
            control.send_raw(b"QUIT\r\nNOOP\r\n")
            self.assertEqual(control.read_reply(), "221 Goodbye.\r\n")
            self.assertEqual(control.read_reply(), OK)
            self.assertTrue(control.is_closed())
            self.assertEqual(control.buffer, b"")

    def test_peer_that_closes(self):
        with Control(self.server.port) as leaving:
            leaving.send_raw(b"NOOP\r\n")
            leaving.sock.shutdown(socket.SHUT_RDWR)
        with Control(self.server.port) as control:
            self.assertEqual(control.command("NOOP"), OK)

    def test_reply_larger_than_the_socket_takes(self):
        control = Control.__new__(Control)
        control.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        control.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        control.sock.settimeout(30)
        control.sock.connect(("127.0.0.1", self.server.port))
        control.buffer = b""
        try:
            self.assertEqual(control.read_reply(), BANNER)
            control.login()
            argument = "".join(chr(ord("a") + i % 26) for i in range(1000000))
            control.send_raw(("MODE " + argument + "\r\nNOOP\r\n").encode())
            self.assertEqual(control.read_reply(), "501 Invalid mode %s.\r\n" % argument)
            self.assertEqual(control.read_reply(), OK)
        finally:
            control.close()


class BannerTest(unittest.TestCase):
    def test_welcome_message_lines(self):
        with Server(args=["--set", "welcome_message=Hi%nthere 100%%%n"]) as server:
            with Control(server.port, read_banner=False) as control:
                self.assertEqual(control.read_reply(), "220-Hi\r\n220-there 100%\r\n220 \r\n")
                self.assertEqual(control.command("NOOP"), OK)


class ActivityLogTest(unittest.TestCase):
    def test_what_is_logged_with_socket_and_peer(self):
        with Server(args=["--password", "s3cret"]) as server:
            first = Control(server.port)
            second = Control(server.port)
            exchange(self, first, [("USER me", "331 Password required for me\r\n"),
                                   ("PASS not-it", WRONG_LOGIN),
                                   ("PASS s3cret", "230 Logged on.\r\n"),
                                   ("NOOP", OK),
                                   # A title escape, a bell, a lone CR and a DEL; UTF-8 stays as sent.
                                   (b"MODE \x1b]0;owned\x07a\rb\x7f\xc3\xa9\r\n",
                                    "501 Invalid mode \x1b]0;owned\x07a\rb\x7f\u00e9.\r\n"),
                                   ("FEAT", "211-Features:\r\n MDTM\r\n REST STREAM\r\n SIZE\r\n"
                                            " MLST type*;size*;modify*;\r\n MLSD\r\n UTF8\r\n SORRELWICK\r\n"
                                            "211 End\r\n")])
            self.assertEqual(second.command("MODE  X"), NOT_LOGGED_ON)
            first.send_raw(b"QUIT\r\n")
            self.assertEqual(first.read_reply(), "221 Goodbye.\r\n")
            # Kept open until the server has logged: a peer that has closed has no name to log.
            server.wait_for_log("Disconnected.\r\n")
            self.assertTrue(first.is_closed())
            first.close()
            second.close()
            wait_until(lambda: server.log_text().count("Disconnected.\r\n") == 2, what="second disconnect")

            lines = client_log_lines(server.log_text())
            sockets = []
            for sock, peer, _ in lines:
                self.assertTrue(peer.startswith("127.0.0.1"), peer)
                if sock not in sockets:
                    sockets.append(sock)
            self.assertEqual(len(sockets), 2)
            by_socket = {sock: [m for s, _, m in lines if s == sock] for sock in sockets}
            self.assertEqual(by_socket[sockets[0]], [
                "Connected.\r\n",
                "USER me\r\n", "331 Password required for me\r\n",
                "PASS ****\r\n", WRONG_LOGIN,
                "PASS ****\r\n", "230 Logged on.\r\n",
                "NOOP \r\n", OK,
                "MODE ?]0;owned?a?b?\u00e9\r\n", "501 Invalid mode ?]0;owned?a?b?\u00e9.\r\n",
                "FEAT \r\n",
                "QUIT \r\n", "221 Goodbye.\r\n",
                "Disconnected.\r\n"])
            self.assertEqual(by_socket[sockets[1]], [
                "Connected.\r\n", "MODE  X\r\n", NOT_LOGGED_ON, "Disconnected.\r\n"])
            self.assertNotIn("220 ", server.log_text())
            self.assertIn(": SWP server online.\r\n", server.log_text())
            log = server.log_text()
            self.assertEqual(server.stop(), 0)

            # The console shows each line as the file has it, time and client included, and
            # neither holds a password or a control byte that a client sent.
            console = [line.rstrip("\r") for line in server.stderr_text().split("\n")]
            for line in log.split("\r\n")[:-1]:
                self.assertIn(line, console)
            for text in (log.replace("\r\n", ""), "".join(console)):
                self.assertNotIn("s3cret", text)
                self.assertNotIn("not-it", text)
                self.assertFalse(re.search("[\x00-\x08\x0a-\x1f\x7f]", text), text)

    def test_nothing_logged_when_logging_is_off(self):
        with Server(args=["--set", "logging_enabled=0"]) as server, Control(server.port) as control:
            self.assertEqual(control.command("NOOP"), OK)
            self.assertEqual(server.log_text(), "")


class PipeliningTest(unittest.TestCase):
    """A client that sends 50 MB of commands without reading: the server stops reading while its
    replies wait, stays small, and in the end answers every line in order."""

    LINES = 50_000_000 // len("NOOP\r\n")
    RSS_LIMIT = 64 * 1024 * 1024

    def test_pipelined_noops_without_reading(self):
        with Server(args=["--no-log"]) as server, Control(server.port) as control:
            control.sock.settimeout(120)
            progress = {"sent": 0, "error": None}
            piece = b"NOOP\r\n" * (1024 * 1024 // 6)
            total = self.LINES * 6

            def send_all():
                try:
                    left = total
                    while left > 0:
                        data = piece if left >= len(piece) else piece[:left]
                        control.sock.sendall(data)
                        left -= len(data)
                        progress["sent"] += len(data)
                except OSError as error:
                    progress["error"] = error

            sender = threading.Thread(target=send_all, daemon=True)
            sender.start()
            peak = [server.rss_bytes()]

            # Without reading, the sender stalls once the server has stopped reading.
            last = [-1, time.monotonic()]

            def stalled_or_done():
                peak[0] = max(peak[0], server.rss_bytes())
                if not sender.is_alive():
                    return True
                if progress["sent"] != last[0]:
                    last[0], last[1] = progress["sent"], time.monotonic()
                    return False
                return time.monotonic() - last[1] > 1.0

            wait_until(stalled_or_done, timeout=120, interval=0.05, what="the sender to stall")
            self.assertLess(progress["sent"], total, "the server read everything without pausing")

            # Now read: every reply arrives, in order, while the server stays small.
            expected_total = self.LINES * len(OK)
            pattern = (OK * 8192).encode()
            received = 0
            deadline = time.monotonic() + 300
            while received < expected_total:
                self.assertLess(time.monotonic(), deadline, "replies too slow")
                chunk = control.sock.recv(1 << 20)
                self.assertTrue(chunk, "connection closed after %d bytes" % received)
                start = 0
                while start < len(chunk):
                    offset = (received + start) % len(OK)
                    size = min(len(chunk) - start, len(pattern) - len(OK))
                    self.assertEqual(chunk[start:start + size], pattern[offset:offset + size],
                                     "reply stream differs near byte %d" % (received + start))
                    start += size
                received += len(chunk)
                if received % (8 << 20) < len(chunk):
                    peak[0] = max(peak[0], server.rss_bytes())
            sender.join(timeout=60)
            self.assertIsNone(progress["error"])
            self.assertEqual(progress["sent"], total)
            self.assertEqual(received, expected_total)
            self.assertEqual(control.command("NOOP"), OK)
            if not sanitized_build():
                self.assertLess(peak[0], self.RSS_LIMIT, "peak RSS %d" % peak[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
