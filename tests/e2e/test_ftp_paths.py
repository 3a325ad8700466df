"""The virtual tree over loopback: CWD, CDUP and PWD replies, SIZE and MDTM of known and unknown
values, and MLST's fact line, against swp-host serving a tree the test makes."""

import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import Control, Server, make_tree  # noqa: E402

ROOT = "ftproot"
# 31 January 2024 15:45:00.123 local time, whatever the zone.
MTIME_NS = int(time.mktime((2024, 1, 31, 15, 45, 0, 0, 0, -1))) * 10**9 + 123_000_000

TREE = {
    "a.txt": b"a" * 42,
    "empty.bin": b"",
    "docs": None,
    "docs/sub": None,
    "docs/sub/deep.txt": b"d" * 7,
    "With Blank": None,
    "With Blank/n\u00e4me \u00fc.txt": b"u" * 3,
}

tree_home = None
tree_dir = None


def setUpModule():
    global tree_home, tree_dir
    tree_home = tempfile.mkdtemp(prefix="swp-paths-")
    tree_dir = make_tree(os.path.join(tree_home, ROOT), TREE)
    for relative in TREE:
        os.utime(os.path.join(tree_dir, relative), ns=(MTIME_NS, MTIME_NS))


def tearDownModule():
    shutil.rmtree(tree_home, ignore_errors=True)


def start_server(*args):
    return Server(tree_dir + "=" + ROOT, args=list(args))


class PathTest(unittest.TestCase):
    server_args = ("--no-folder-sizes",)

    @classmethod
    def setUpClass(cls):
        cls.server = start_server(*cls.server_args)

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def setUp(self):
        self.control = Control(self.server.port)
        self.control.login()

    def tearDown(self):
        self.assertEqual(self.control.command("NOOP")[:3], "200", "the control connection still works")
        self.control.close()

    def command(self, line):
        return self.control.command(line)


class CwdAndCdup(PathTest):
    def test_root_by_slash_and_by_empty_argument(self):
        self.assertEqual(self.command("CWD /"), '250 CWD successful. "/" is current directory.\r\n')
        self.assertEqual(self.command("CWD"), '250 CWD successful. "/" is current directory.\r\n')
        self.assertEqual(self.command("PWD"), '257 "/" is current directory.\r\n')

    def test_absolute_with_trailing_slash_then_relative(self):
        self.assertEqual(self.command("CWD /%s/docs/" % ROOT),
                         '250 CWD successful. "/%s/docs" is current directory.\r\n' % ROOT)
        self.assertEqual(self.command("CWD sub"),
                         '250 CWD successful. "/%s/docs/sub" is current directory.\r\n' % ROOT)
        self.assertEqual(self.command("CWD"),
                         '250 CWD successful. "/%s/docs/sub" is current directory.\r\n' % ROOT)
        self.assertEqual(self.command("CWD ../../docs//sub/."),
                         '250 CWD successful. "/%s/docs/sub" is current directory.\r\n' % ROOT)

    def test_missing_folder_or_file_keeps_the_current_directory(self):
        self.command("CWD /%s/docs" % ROOT)
        self.assertEqual(self.command("CWD nosuchdir"), "550 Directory not found.\r\n")
        self.assertEqual(self.command("CWD /%s/a.txt" % ROOT), "550 Directory not found.\r\n")
        self.assertEqual(self.command("PWD"), '257 "/%s/docs" is current directory.\r\n' % ROOT)

    def test_names_with_blanks_and_non_ascii(self):
        self.assertEqual(self.command("CWD /%s/With Blank" % ROOT),
                         '250 CWD successful. "/%s/With Blank" is current directory.\r\n' % ROOT)

    def test_cdup_walks_up_to_the_root_and_stays_there(self):
        self.command("CWD /%s/docs/sub" % ROOT)
        self.assertEqual(self.command("CDUP"), '250 CDUP successful. "/%s/docs" is current directory.\r\n' % ROOT)
        self.assertEqual(self.command("CDUP"), '250 CDUP successful. "/%s" is current directory.\r\n' % ROOT)
        self.assertEqual(self.command("CDUP"), '250 CDUP successful. "/" is current directory.\r\n')
        self.assertEqual(self.command("CDUP"), '250 CDUP successful. "/" is current directory.\r\n')
        self.assertEqual(self.command("PWD"), '257 "/" is current directory.\r\n')


class SizeAndMdtm(PathTest):
    def test_size_of_files_relative_and_absolute(self):
        self.assertEqual(self.command("SIZE /%s/a.txt" % ROOT), "200 42\r\n")
        self.assertEqual(self.command("SIZE /%s/empty.bin" % ROOT), "200 0\r\n")
        self.command("CWD /%s/With Blank" % ROOT)
        self.assertEqual(self.command("SIZE n\u00e4me \u00fc.txt"), "200 3\r\n")

    def test_size_of_missing_entry_and_of_a_folder_without_a_size(self):
        self.assertEqual(self.command("SIZE /%s/nothing" % ROOT), "550 File not found.\r\n")
        # Folder sizes are off: the index knows no size, which answers like a missing entry.
        self.assertEqual(self.command("SIZE /%s/docs" % ROOT), "550 File not found.\r\n")

    def test_mdtm_is_local_time_with_milliseconds(self):
        self.assertEqual(self.command("MDTM /%s/a.txt" % ROOT), "213 20240131154500.123\r\n")
        self.assertEqual(self.command("MDTM /%s/docs/sub/deep.txt" % ROOT), "213 20240131154500.123\r\n")
        self.assertEqual(self.command("MDTM /%s/nothing.txt" % ROOT), "550 File not found.\r\n")


class FolderSizes(PathTest):
    server_args = ()

    def test_size_of_a_folder_is_the_indexed_sum(self):
        self.assertEqual(self.command("SIZE /%s/docs" % ROOT), "200 7\r\n")
        self.assertEqual(self.command("MLST /%s/docs" % ROOT),
                         "250-Listing /%s/docs\r\n type=dir;modify=20240131154500;size=7; /%s/docs\r\n250 End.\r\n"
                         % (ROOT, ROOT))


class Mlst(PathTest):
    def test_file_fact_line(self):
        self.assertEqual(self.command("MLST /%s/a.txt" % ROOT),
                         "250-Listing /%s/a.txt\r\n type=file;modify=20240131154500;size=42; /%s/a.txt\r\n"
                         "250 End.\r\n" % (ROOT, ROOT))

    def test_folder_without_size_and_relative_argument_shows_the_full_path(self):
        self.command("CWD /%s" % ROOT)
        self.assertEqual(self.command("MLST docs"),
                         "250-Listing /%s/docs\r\n type=dir;modify=20240131154500; /%s/docs\r\n250 End.\r\n"
                         % (ROOT, ROOT))

    def test_root_by_empty_argument_and_by_slash(self):
        root_entry = "250-Listing /\r\n type=dir; /\r\n250 End.\r\n"
        self.assertEqual(self.command("MLST"), root_entry)
        self.command("CWD /%s/docs" % ROOT)
        self.assertEqual(self.command("MLST /"), root_entry)
        self.assertEqual(self.command("MLST ../.."), root_entry)

    def test_missing_entry(self):
        self.assertEqual(self.command("MLST /%s/none" % ROOT), "550 File or Directory not found.\r\n")


if __name__ == "__main__":
    unittest.main()
