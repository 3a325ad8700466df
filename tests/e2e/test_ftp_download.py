"""RETR over loopback: REST offsets, files whose length is a multiple of the 64 KiB buffer, refused
downloads, a client that drops the data or the control connection in the middle of a file, and a
server that stops while twenty downloads run. Each group ends by checking that the server holds
no more threads or descriptors than before it."""

import os
import shutil
import socket
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import (  # noqa: E402
    Control, Server, close_with_reset, descriptors, epsv_port, make_tree, read_to_end, settled_counts,
    stop_when_settled)

ROOT = "retrroot"
TIMEOUT = 20.0
HUGE = 1 << 30  # sparse: costs no disk, and never fits in the socket buffers

TREE = {
    "small.txt": bytes(range(256)) * 4,
    "zero.bin": b"",
    "exact.bin": os.urandom(2 * 65536),
    "odd.bin": os.urandom(3 * 65536 + 17),
    "with blank \u00e4\u00f6\u00fc.txt": "gr\u00fc\u00dfe".encode("utf-8"),
    "folder": None,
}

tree_home = None
tree_dir = None


def setUpModule():
    global tree_home, tree_dir
    tree_home = tempfile.mkdtemp(prefix="swp-retr-")
    tree_dir = make_tree(os.path.join(tree_home, ROOT), TREE)
    with open(os.path.join(tree_dir, "huge.bin"), "wb") as huge:
        huge.truncate(HUGE)


def tearDownModule():
    shutil.rmtree(tree_home, ignore_errors=True)


class DownloadTest(unittest.TestCase):
    server_args = ()

    @classmethod
    def setUpClass(cls):
        cls.server = Server(tree_dir + "=" + ROOT, args=list(cls.server_args))
        cls.baseline = settled_counts(cls.server)

    @classmethod
    def tearDownClass(cls):
        stop_when_settled(cls.server, cls.baseline)

    def setUp(self):
        self.control = self.open_control()

    def tearDown(self):
        self.control.close()

    def open_control(self):
        control = Control(self.server.port)
        control.login()
        self.assertTrue(control.command("CWD /" + ROOT).startswith("250"))
        return control

    def epsv(self, control=None, receive_buffer=None):
        control = control or self.control
        port = epsv_port(control.command("EPSV"))
        data = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        data.settimeout(TIMEOUT)
        if receive_buffer:
            data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        data.connect(("127.0.0.1", port))
        return data

    def retr(self, name):
        data = self.epsv()
        reply = self.control.command("RETR " + name)
        if not reply.startswith("150"):
            data.close()
            return reply
        self.assertEqual(reply, "150 Data connection accepted; transfer starting.\r\n")
        body = read_to_end(data)
        self.assertEqual(self.control.read_reply(), "226 Transfer complete.\r\n")
        return body

    def start_huge(self, control=None):
        """Starts RETR of the sparse huge file and returns its data socket after the first bytes."""
        control = control or self.control
        data = self.epsv(control, receive_buffer=65536)
        self.assertEqual(control.command("RETR huge.bin"), "150 Data connection accepted; transfer starting.\r\n")
        self.assertTrue(data.recv(65536))
        return data


class Retr(DownloadTest):
    def test_whole_files(self):
        for name in ("small.txt", "zero.bin", "exact.bin", "odd.bin", "with blank \u00e4\u00f6\u00fc.txt"):
            self.assertEqual(self.retr(name), TREE[name], name)

    def test_rest_offset_is_used_once_and_survives_a_listing(self):
        self.assertEqual(self.control.command("REST 100"), "350 Restarting at 100.\r\n")
        self.assertEqual(self.retr("small.txt"), TREE["small.txt"][100:])
        self.assertEqual(self.retr("small.txt"), TREE["small.txt"])
        self.assertEqual(self.control.command("REST 65536"), "350 Restarting at 65536.\r\n")
        data = self.epsv()
        self.assertEqual(self.control.command("LIST"), "150 Data connection accepted; transfer starting.\r\n")
        read_to_end(data)
        self.assertEqual(self.control.read_reply(), "226 Transfer complete.\r\n")
        self.assertEqual(self.retr("exact.bin"), TREE["exact.bin"][65536:])

    def test_rest_at_the_end_sends_nothing(self):
        self.control.command("REST %d" % len(TREE["odd.bin"]))
        self.assertEqual(self.retr("odd.bin"), b"")

    def test_missing_file_or_folder_ends_the_data_mode(self):
        for name in ("nothing.bin", "folder", "/%s/../%s/none" % (ROOT, ROOT)):
            self.control.command("REST 5")
            self.assertEqual(self.retr(name), "550 File not found.\r\n", name)
            self.assertEqual(self.control.command("LIST"), "503 Invalid sequence of commands.\r\n")
        # The refused RETR consumed the offset.
        self.assertEqual(self.retr("small.txt"), TREE["small.txt"])


class ClientsGoingAway(DownloadTest):
    def test_client_closing_the_data_connection_mid_file(self):
        close_with_reset(self.start_huge())
        reply = self.control.read_reply()
        self.assertRegex(reply, r"^426 (send failed \d+|Connection closed; transfer aborted\.)\r\n$")
        self.assertEqual(self.control.command("NOOP")[:4], "200 ")
        self.assertEqual(self.retr("odd.bin"), TREE["odd.bin"])

    def test_control_connection_closing_mid_transfer_ends_the_data_connection(self):
        other = self.open_control()
        data = self.start_huge(other)
        other.close()
        received = 0
        with self.assertRaises((ConnectionResetError, EOFError)):
            while received < HUGE:
                chunk = data.recv(1 << 20)
                if not chunk:
                    raise EOFError
                received += len(chunk)
        data.close()
        self.assertLess(received, HUGE)
        self.assertEqual(self.retr("small.txt"), TREE["small.txt"])


class DownloadOff(DownloadTest):
    server_args = ("--no-download",)

    def test_every_retr_is_answered_as_missing_and_ends_the_data_mode(self):
        self.assertEqual(self.retr("small.txt"), "550 File not found.\r\n")
        self.assertEqual(self.control.command("LIST"), "503 Invalid sequence of commands.\r\n")
        self.assertEqual(self.control.command("SIZE small.txt"), "200 1024\r\n")


class StopDuringDownloads(unittest.TestCase):
    def test_sigterm_with_twenty_running_downloads(self):
        with Server(tree_dir + "=" + ROOT) as server:
            helper = DownloadTest()
            helper.server = server
            sessions = []
            try:
                for _ in range(20):
                    control = helper.open_control()
                    sessions.append((control, helper.start_huge(control)))
                # How long the stop takes is the fault suite's figure; here it must end cleanly.
                self.assertEqual(server.stop(), 0)
            finally:
                for control, data in sessions:
                    data.close()
                    control.close()


if __name__ == "__main__":
    unittest.main()
