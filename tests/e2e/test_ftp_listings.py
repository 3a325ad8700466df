"""LIST and MLSD over loopback: the argument filter, also through Python's ftplib, the line formats
with the year-or-time column, listings of a file, of a missing folder and of an empty folder,
UTF-8 mode off, and a listing that spans several 64 KiB blocks."""

import os
import ftplib
import shutil
import socket
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import (  # noqa: E402
    Control, Server, epsv_port, make_tree, read_to_end, settled_counts, stop_when_settled)

ROOT = "listroot"
TIMEOUT = 20.0
OLD_NS = int(time.mktime((2024, 1, 5, 14, 30, 0, 0, 0, -1))) * 10**9
RECENT_NS = (int(time.time()) - 2 * 3600) * 10**9
FUTURE_NS = (int(time.time()) + 2 * 86400) * 10**9
MANY = 1500  # entries whose LIST text spans more than two blocks

TREE = {
    "report.txt": b"r" * 1234,
    "recent.txt": b"n" * 5,
    "future.txt": b"f" * 6,
    "Music": None,
    "Music/m.mp3": b"m",
    "My Music": None,
    "My Music/quoted.mp3": b"q",
    # MyMusic and my are what a filter that drops blanks or cuts at '-' would list instead.
    "MyMusic": None,
    "MyMusic/joined.mp3": b"j",
    "my": None,
    "my/cut.txt": b"c",
    "my-notes": None,
    "my-notes/whole.txt": b"w",
    "2024-01-05 photos": None,
    "2024-01-05 photos/both.jpg": b"b",
    "-dash": None,
    "-dash/dashed.txt": b"d",
    "empty": None,
    "intl": None,
    "intl/caf\u00e9 \u20ac \u4e2d.txt": b"i",
    "many": None,
}
for number in range(MANY):
    TREE["many/entry-%05d-%s.dat" % (number, "x" * 60)] = b""

tree_home = None
tree_dir = None


def setUpModule():
    global tree_home, tree_dir
    tree_home = tempfile.mkdtemp(prefix="swp-list-")
    tree_dir = make_tree(os.path.join(tree_home, ROOT), TREE)
    for relative in ("report.txt", "Music", "My Music", "MyMusic", "my", "my-notes", "empty", "intl"):
        os.utime(os.path.join(tree_dir, relative), ns=(OLD_NS, OLD_NS))
    os.utime(os.path.join(tree_dir, "recent.txt"), ns=(RECENT_NS, RECENT_NS))
    os.utime(os.path.join(tree_dir, "future.txt"), ns=(FUTURE_NS, FUTURE_NS))


def tearDownModule():
    shutil.rmtree(tree_home, ignore_errors=True)


# A LIST line has fixed columns up to the name: 21 bytes of mode, links and owners, the 13-wide
# size, then " Mon DD " and the 5-wide year or time and a blank.
LIST_NAME_COLUMN = 48


def entry_name(line):
    return line.split("; ", 1)[1] if line.startswith("type=") else line[LIST_NAME_COLUMN:]


def names_of(listing):
    text = listing.decode("utf-8")
    assert text == "" or text.endswith("\r\n"), text[-20:]
    return sorted(entry_name(line) for line in text.split("\r\n") if line)


class ListingTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(tree_dir + "=" + ROOT, args=["--no-folder-sizes"])

        cls.baseline = settled_counts(cls.server)

    @classmethod
    def tearDownClass(cls):
        stop_when_settled(cls.server, cls.baseline)

    def setUp(self):
        self.control = Control(self.server.port)
        self.control.login()
        self.assertTrue(self.control.command("CWD /" + ROOT).startswith("250"))

    def tearDown(self):
        self.assertEqual(self.control.command("NOOP")[:4], "200 ")
        self.control.close()

    def epsv(self):
        port = epsv_port(self.control.command("EPSV"))
        data = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
        return data

    def listing(self, line):
        """Runs one transfer command over EPSV; returns its bytes, or the refusal reply as str."""
        data = self.epsv()
        reply = self.control.command(line)
        if not reply.startswith("150"):
            data.close()
            return reply
        self.assertEqual(reply, "150 Data connection accepted; transfer starting.\r\n")
        body = read_to_end(data)
        self.assertEqual(self.control.read_reply(), "226 Transfer complete.\r\n")
        return body

    def list_names(self, line):
        body = self.listing(line)
        self.assertIsInstance(body, bytes, body)
        return names_of(body)


class ArgumentFilter(ListingTest):
    def ftplib_names(self, *arguments):
        """The names of ftplib's dir(*arguments), which sends LIST and the arguments as given."""
        ftp = ftplib.FTP()
        ftp.encoding = "utf-8"
        ftp.connect("127.0.0.1", self.server.port, timeout=TIMEOUT)
        try:
            ftp.login()
            ftp.cwd("/" + ROOT)
            lines = []
            ftp.dir(*arguments, lines.append)
            return sorted(line[LIST_NAME_COLUMN:] for line in lines)
        finally:
            ftp.quit()

    def test_options_alone_list_the_current_folder(self):
        self.control.command("CWD Music")
        self.assertEqual(self.list_names("LIST"), ["m.mp3"])
        self.assertEqual(self.list_names("LIST -la"), ["m.mp3"])
        self.assertEqual(self.list_names("LIST -a -l"), ["m.mp3"])

    def test_the_named_folder_with_hyphens_blanks_or_both_after_any_option_words(self):
        folders = {"my-notes": ["whole.txt"], "My Music": ["quoted.mp3"], "2024-01-05 photos": ["both.jpg"],
                   "/%s/2024-01-05 photos" % ROOT: ["both.jpg"], "/%s/Music" % ROOT: ["m.mp3"]}
        for folder, names in folders.items():
            for options in ((), ("-la",), ("-l", "-a")):
                self.assertEqual(self.ftplib_names(*options, folder), names, (options, folder))

    def test_a_leading_dash_is_reached_through_dot_slash(self):
        self.assertEqual(self.ftplib_names("./-dash"), ["dashed.txt"])
        self.assertEqual(self.ftplib_names("-la", "./-dash"), ["dashed.txt"])

    def test_one_pair_of_quotes_is_taken_off_in_list_but_not_in_mlsd(self):
        self.assertEqual(self.list_names('LIST -la "My Music"'), ["quoted.mp3"])
        self.assertEqual(self.listing('MLSD "My Music"'), "550 Directory not found.\r\n")
        self.assertEqual(self.list_names("MLSD my-notes"), ["whole.txt"])


class Refusals(ListingTest):
    def test_a_file_is_not_a_folder(self):
        self.assertEqual(self.listing("LIST report.txt"), "550 Directory not found.\r\n")
        self.assertEqual(self.listing("MLSD report.txt"), "550 Directory not found.\r\n")

    def test_a_missing_folder_keeps_the_data_mode(self):
        data = self.epsv()
        self.assertEqual(self.control.command("LIST nosuch"), "550 Directory not found.\r\n")
        self.assertEqual(self.control.command("LIST"), "150 Data connection accepted; transfer starting.\r\n")
        self.assertIn("report.txt", names_of(read_to_end(data)))
        self.assertEqual(self.control.read_reply(), "226 Transfer complete.\r\n")


class Lines(ListingTest):
    def list_lines(self, line="LIST"):
        body = self.listing(line)
        self.assertIsInstance(body, bytes, body)
        return {entry_name(entry): entry for entry in body.decode("utf-8").split("\r\n") if entry}

    def test_list_line_of_an_old_file_shows_the_year(self):
        self.assertEqual(self.list_lines()["report.txt"],
                         "-r--r--r-- 1 ftp ftp          1234 Jan 05  2024 report.txt")

    def test_list_line_of_a_recent_file_shows_the_time_of_day(self):
        local = time.localtime(RECENT_NS // 10**9)
        self.assertEqual(self.list_lines()["recent.txt"],
                         "-r--r--r-- 1 ftp ftp             5 %s %02d %02d:%02d recent.txt"
                         % (time.strftime("%b", local), local.tm_mday, local.tm_hour, local.tm_min))

    def test_list_line_of_a_future_file_shows_the_year(self):
        local = time.localtime(FUTURE_NS // 10**9)
        self.assertEqual(self.list_lines()["future.txt"],
                         "-r--r--r-- 1 ftp ftp             6 %s %02d %5d future.txt"
                         % (time.strftime("%b", local), local.tm_mday, local.tm_year))

    def test_list_line_of_a_folder_without_a_size(self):
        self.assertEqual(self.list_lines()["Music"], "dr--r--r-- 1 ftp ftp             0 Jan 05  2024 Music")

    def test_mlsd_lines(self):
        lines = self.list_lines("MLSD")
        self.assertEqual(lines["report.txt"], "type=file;modify=20240105143000;size=1234; report.txt")
        self.assertEqual(lines["Music"], "type=dir;modify=20240105143000; Music")
        self.assertEqual(lines["My Music"], "type=dir;modify=20240105143000; My Music")

    def test_empty_folder_sends_no_bytes(self):
        self.assertEqual(self.listing("LIST empty"), b"")
        self.assertEqual(self.listing("MLSD empty"), b"")

    def test_root_lists_the_index_top(self):
        self.assertIn(ROOT, self.list_names("LIST /"))


class Encoding(ListingTest):
    NAME = "caf\u00e9 \u20ac \u4e2d.txt"

    def test_utf8_off_sends_list_names_in_windows_1252_but_mlsd_in_utf8(self):
        self.assertEqual(self.listing("LIST intl")[LIST_NAME_COLUMN:], self.NAME.encode("utf-8") + b"\r\n")
        self.assertEqual(self.control.command("OPTS UTF8 OFF"), "200 UTF8 mode disabled.\r\n")
        self.assertTrue(self.listing("LIST intl").endswith(b" caf\xe9 \x80 ?.txt\r\n"))
        self.assertTrue(self.listing("MLSD intl").endswith(b" " + self.NAME.encode("utf-8") + b"\r\n"))
        self.assertEqual(self.control.command("OPTS UTF8 ON"), "200 UTF8 mode enabled.\r\n")
        self.assertTrue(self.listing("LIST intl").endswith(self.NAME.encode("utf-8") + b"\r\n"))


class LongListing(ListingTest):
    def test_listing_over_one_block_arrives_whole_and_in_order(self):
        expected = sorted(name.split("/", 1)[1] for name in TREE if name.startswith("many/"))
        orders = []
        for command in ("LIST many", "MLSD many"):
            body = self.listing(command)
            self.assertGreater(len(body), 2 * 65524, command)
            lines = body.decode("utf-8").split("\r\n")
            self.assertEqual(lines[-1], "")
            names = [entry_name(line) for line in lines[:-1]]
            self.assertEqual(sorted(names), expected, command)
            self.assertEqual(len(set(names)), MANY)
            orders.append(names)
        self.assertEqual(orders[0], orders[1], "both listings follow the index's one order")


if __name__ == "__main__":
    unittest.main()
