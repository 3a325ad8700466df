"""The index follows the disk while swp-host runs: each kind of change seen through real FTP
commands and searches, moves into, out of and between the indexed folders, a folder renamed with
10,000 entries below it, changes the watch cannot see (SIGHUP), lost changes, folders the watch
limit leaves out, and the saved index: served at once, brought up to date, or refused."""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import (  # noqa: E402
    UNDER_WINE, Control, Server, file_is_private, host_path, make_tree, read_to_end, wait_until)

UNKNOWN = 18446744073709551615
FILETIME_UNIX_EPOCH = 116444736000000000
DEADLINE = 30.0


class Client(Control):
    """A logged-on control connection with the commands these tests use."""

    def __init__(self, port):
        super().__init__(port)
        self.login()
        self.searches = 0

    def size(self, path):
        reply = self.command("SIZE " + path)
        return int(reply[4:]) if reply.startswith("200 ") else None

    def transfer(self, line):
        reply = self.command("EPSV")
        port = int(re.fullmatch(r"229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)\r\n", reply).group(1))
        data = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        reply = self.command(line)
        if not reply.startswith("150"):
            data.close()
            return None
        body = read_to_end(data)
        assert self.read_reply() == "226 Transfer complete.\r\n"
        return body

    def names(self, folder):
        body = self.transfer("MLSD " + folder)
        return None if body is None else sorted(line.split("; ", 1)[1] for line in body.decode().split("\r\n") if line)

    def search(self, text, **options):
        """(total, [(FILE or FOLDER, name, {column: value})]) of a search with the given options."""
        self.command("SORRELWICK search " + text)
        # A query with the options of the last one would send its results again: a column that
        # changes at every call makes each one a new search.
        self.searches += 1
        defaults = {"path_column": 0, "date_recently_changed_column": 0, "attributes_column": 0, "path": 0,
                    "sort": "name_ascending", "count": 3, "file_list_filename_column": self.searches % 2}
        for word, default in defaults.items():
            self.command("SORRELWICK %s %s" % (word, options.get(word, default)))
        lines = self.command("SORRELWICK query").split("\r\n")
        assert lines[0] == "200-Query results" and lines[-2] == "200 End.", lines
        total = int(lines[1].split()[1])
        results, columns = [], {}
        for line in lines[2:-2]:
            key, _, value = line[1:].partition(" ")
            if key in ("FILE", "FOLDER"):
                results.append((key, value, columns))
                columns = {}
            else:
                columns[key] = value
        return total, results


def touch(path, data=b""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "ab") as out:
        out.write(data)


class FollowingChanges(unittest.TestCase):
    """One server over two indexed folders, "alpha" and "beta", and a folder beside them that is
    not indexed; each test works in folders of its own."""

    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.mkdtemp(prefix="swp-e2e-live-")
        cls.alpha = make_tree(os.path.join(cls.home, "alpha"), {"kept.txt": b"k"})
        cls.beta = make_tree(os.path.join(cls.home, "beta"), {"kept.txt": b"k"})
        cls.outside = make_tree(os.path.join(cls.home, "outside"), {})
        cls.server = Server(args=["--index", cls.alpha, "--index", cls.beta, "--no-index-file"])
        cls.client = Client(cls.server.port)

    @classmethod
    def tearDownClass(cls):
        cls.client.close()
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.home, ignore_errors=True)

    def until(self, predicate, what):
        try:
            return wait_until(predicate, timeout=DEADLINE, what=what)
        except AssertionError as failure:
            raise AssertionError("%s; swp-host said:\n%s" % (failure, self.server.stderr_text()[-3000:])) from None

    def test_a_new_file_is_served_listed_found_and_sent(self):
        touch(os.path.join(self.alpha, "new", "fresh.txt"), b"hello")
        self.until(lambda: self.client.size("/alpha/new/fresh.txt") == 5, "the new file's size")
        self.assertTrue(self.client.command("MDTM /alpha/new/fresh.txt").startswith("213 "))
        self.assertIn("fresh.txt", self.client.command("MLST /alpha/new/fresh.txt"))
        self.assertEqual(self.client.names("/alpha/new"), ["fresh.txt"])
        self.assertEqual(self.client.transfer("RETR /alpha/new/fresh.txt"), b"hello")
        total, found = self.client.search("fresh", path_column=1, date_recently_changed_column=1)
        self.assertEqual((total, found[0][1], found[0][2]["PATH"]), (1, "fresh.txt", "alpha\\new"))
        seen = int(found[0][2]["DATE_RECENTLY_CHANGED"])
        self.assertLess(abs(seen - (FILETIME_UNIX_EPOCH + int(time.time() * 10**7))), 600 * 10**7)
        total, found = self.client.search("kept", date_recently_changed_column=1)
        self.assertEqual([int(columns["DATE_RECENTLY_CHANGED"]) for _, _, columns in found], [UNKNOWN, UNKNOWN])

    def test_an_append_shows_in_size_and_download_alike(self):
        path = os.path.join(self.alpha, "append", "log.txt")
        touch(path, b"x" * 12)
        self.until(lambda: self.client.size("/alpha/append/log.txt") == 12, "the first size")
        touch(path, b"y" * 24)
        self.until(lambda: self.client.size("/alpha/append/log.txt") == 36, "the size after the append")
        self.assertEqual(len(self.client.transfer("RETR /alpha/append/log.txt")), 36)
        self.until(lambda: self.client.size("/alpha/append") == 36, "the folder's total")

    def test_renames_deletions_and_attributes(self):
        folder = os.path.join(self.alpha, "renames")
        touch(os.path.join(folder, "before.txt"), b"12345")
        touch(os.path.join(folder, "doomed.txt"), b"x")
        self.until(lambda: self.client.size("/alpha/renames/doomed.txt") == 1, "the files")
        os.rename(os.path.join(folder, "before.txt"), os.path.join(folder, "after.txt"))
        os.remove(os.path.join(folder, "doomed.txt"))
        self.until(lambda: self.client.names("/alpha/renames") == ["after.txt"], "the listing after the changes")
        self.assertEqual(self.client.command("SIZE /alpha/renames/before.txt"), "550 File not found.\r\n")
        self.assertEqual(self.client.search("before")[0], 0)
        self.assertEqual(self.client.search("doomed")[0], 0)
        self.assertEqual(self.client.search("after")[0], 1)
        os.chmod(os.path.join(folder, "after.txt"), 0o444)
        self.until(lambda: self.client.search("after", attributes_column=1)[1][0][2]["ATTRIBUTES"] == "1",
                   "the read-only attribute")

    def test_a_query_repeated_unchanged_follows_the_disk(self):
        folder = os.path.join(self.alpha, "held")
        touch(os.path.join(folder, "doomed_hq.txt"), b"d")
        touch(os.path.join(folder, "kept_hq.txt"), b"k")
        self.until(lambda: self.client.search("_hq.")[0] == 2, "the first files")
        with Client(self.server.port) as client:
            for line in ("SORRELWICK search _hq.", "SORRELWICK size_column 1"):
                client.command(line)

            def found():
                reply = client.command("SORRELWICK query")
                return re.findall(r" SIZE (\d+)\r\n FILE (\S+)\r\n", reply)
            self.assertEqual(found(), [("1", "doomed_hq.txt"), ("1", "kept_hq.txt")])
            os.remove(os.path.join(folder, "doomed_hq.txt"))
            touch(os.path.join(folder, "new_hq.txt"), b"nn")
            self.until(lambda: found() == [("1", "kept_hq.txt"), ("2", "new_hq.txt")], "the held results changed")
            touch(os.path.join(folder, "kept_hq.txt"), b"kkk")
            self.until(lambda: found() == [("4", "kept_hq.txt"), ("2", "new_hq.txt")], "the held results' sizes")

    def test_a_folder_made_with_its_content_is_read_whole(self):
        for number in range(50):
            touch(os.path.join(self.alpha, "burst", "d%02d" % (number % 5), "e%02d" % number, "f.bin"), b"z")
        self.until(lambda: self.client.search("alpha\\burst\\", path=1)[0] == 5 + 50 + 50, "every entry")

    def test_a_folder_renamed_with_ten_thousand_entries_below_keeps_them(self):
        big = os.path.join(self.alpha, "big")
        for folder in range(100):
            for number in range(99):
                touch(os.path.join(big, "sub%03d" % folder, "item%03d.dat" % number))
        entries = 100 * 99 + 100
        self.until(lambda: self.client.search("alpha\\big\\", path=1)[0] == entries, "the big folder")
        os.rename(big, os.path.join(self.alpha, "renamed big"))
        self.until(lambda: self.client.size("/alpha/renamed big/sub042/item007.dat") == 0, "the renamed folder")
        self.assertEqual(self.client.search("alpha\\renamed big\\", path=1)[0], entries)
        self.assertEqual(self.client.search("alpha\\big\\", path=1)[0], 0)
        self.assertIsNone(self.client.size("/alpha/big/sub042/item007.dat"))
        total, found = self.client.search("item007.dat", sort="path_ascending", path_column=1)
        self.assertEqual(total, 100)
        self.assertEqual([columns["PATH"] for _, _, columns in found[:2]],
                         ["alpha\\renamed big\\sub000", "alpha\\renamed big\\sub001"])

    def test_moves_into_out_of_and_between_the_indexed_folders(self):
        touch(os.path.join(self.outside, "incoming", "deep", "in.txt"), b"in")
        os.rename(os.path.join(self.outside, "incoming"), os.path.join(self.alpha, "incoming"))
        self.until(lambda: self.client.size("/alpha/incoming/deep/in.txt") == 2, "the folder moved in")
        # Between two watched folders a move is a removal from one and an addition to the other.
        os.rename(os.path.join(self.alpha, "incoming"), os.path.join(self.beta, "incoming"))
        self.until(lambda: self.client.size("/beta/incoming/deep/in.txt") == 2, "the folder moved across")
        self.until(lambda: self.client.size("/alpha/incoming/deep/in.txt") is None, "the folder gone from alpha")
        os.rename(os.path.join(self.beta, "incoming"), os.path.join(self.outside, "gone"))
        self.until(lambda: self.client.search("in.txt")[0] == 0, "the folder moved out")
        self.assertEqual(self.client.command("CWD /beta/incoming"), "550 Directory not found.\r\n")


class ChangesTheWatchCannotSee(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="swp-e2e-live-")
        self.tree = make_tree(os.path.join(self.home, "tree"), {"a.txt": b"a", "sub/b.txt": b"b"})

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    @unittest.skipIf(UNDER_WINE, "Windows has no SIGHUP")
    def test_sighup_reads_the_folders_again_without_dropping_clients(self):
        # A write through a hard link outside the folder is not reported for the folder.
        os.link(os.path.join(self.tree, "sub", "b.txt"), os.path.join(self.home, "link"))
        with Server(self.tree, args=["--no-index-file"]) as server, Client(server.port) as client:
            touch(os.path.join(self.home, "link"), b"grown")
            server.process.send_signal(signal.SIGHUP)
            wait_until(lambda: client.size("/tree/sub/b.txt") == 6, timeout=DEADLINE, what="the size after SIGHUP")
            wait_until(lambda: "swp-host: read the indexed folders again in" in server.stderr_text(),
                       timeout=DEADLINE, what="the rescan's line")
            self.assertIn(" s: 0 added, 1 changed, 0 removed\n", server.stderr_text())
            self.assertEqual(client.command("NOOP")[:4], "200 ")
            self.assertEqual(server.stop(), 0)

    def test_changes_lost_in_a_burst_are_caught_up(self):
        with open("/proc/sys/fs/inotify/max_queued_events") as limit:
            queued = int(limit.read())
        if queued > 100000:
            self.skipTest("the system queues %d changes: a burst to overflow it would be too long" % queued)
        count = queued + 2000
        os.makedirs(os.path.join(self.tree, "burst"))  # watched before the burst, so its changes are queued
        with Server(self.tree, args=["--no-index-file"]) as server, Client(server.port) as client:
            # Stopped, swp-host reads nothing, so the system's queue of changes overflows.
            server.process.send_signal(signal.SIGSTOP)
            try:
                for number in range(count):
                    touch(os.path.join(self.tree, "burst", "f%06d" % number))
            finally:
                server.process.send_signal(signal.SIGCONT)
            wait_until(lambda: client.search("burst\\", path=1)[0] == count, timeout=DEADLINE * 4,
                       what="every file of the burst")
            self.assertIn("swp-host: changes in %s came faster than they could be followed: it is read again\n"
                          % host_path(self.tree), server.stderr_text())
            # The watch goes on after the loss.
            touch(os.path.join(self.tree, "after_burst.txt"))
            wait_until(lambda: client.search("after_burst.txt")[0] == 1, timeout=DEADLINE, what="a change after it")
            self.assertNotIn("no longer watched", server.stderr_text())

    @unittest.skipIf(UNDER_WINE, "about Linux's limit of watches: Windows watches a folder's subtree as a whole")
    def test_folders_the_watch_limit_leaves_out_are_read_again(self):
        limit = "/proc/sys/user/max_inotify_watches"
        probe = subprocess.run(["unshare", "--user", "--map-root-user", "sh", "-c", "echo 5 > " + limit],
                               capture_output=True, timeout=60)
        if probe.returncode != 0:
            self.skipTest("no user namespace with its own watch limit here: %s" % probe.stderr.decode().strip())
        for number in range(12):
            os.makedirs(os.path.join(self.tree, "f%02d" % number))
        wrapper = ["unshare", "--user", "--map-root-user", "sh", "-c", "echo 5 > %s && exec \"$@\"" % limit, "sh"]
        with Server(self.tree, args=["--no-index-file"], wrapper=wrapper) as server, Client(server.port) as client:
            match = re.search(r"swp-host: (\d+) folders are not watched for changes, as the system's limit of "
                              r"watches is reached: they are read again every \d+ s \(the limit is raised with the "
                              r"setting fs.inotify.max_user_watches\)\n", server.stderr_text())
            self.assertTrue(match, server.stderr_text())
            self.assertEqual(int(match.group(1)), 14 - 5)
            for number in range(12):
                touch(os.path.join(self.tree, "f%02d" % number, "late.txt"))
            wait_until(lambda: client.search("late.txt")[0] == 12, timeout=DEADLINE, what="every late file")


class SavedIndex(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="swp-e2e-saved-")
        self.tree = make_tree(os.path.join(self.home, "tree"), {"kept.txt": b"k", "changed.txt": b"c",
                                                                "removed.txt": b"r", "sub/deep.txt": b"d"})
        self.saved = os.path.join(self.home, "index")

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def serve(self, tree=None):
        return Server(tree or self.tree, args=["--index-file", self.saved])

    def test_the_saved_index_is_served_at_once_and_brought_up_to_date(self):
        with self.serve() as server:
            self.assertIn("swp-host: indexed 6 entries in ", server.stderr_text())
            self.assertEqual(server.stop(), 0)
        self.assertTrue(file_is_private(self.saved))
        touch(os.path.join(self.tree, "changed.txt"), b"more")
        touch(os.path.join(self.tree, "sub", "added.txt"), b"new")
        os.remove(os.path.join(self.tree, "removed.txt"))
        with self.serve() as server, Client(server.port) as client:
            err = server.stderr_text()
            self.assertRegex(err, r"swp-host: loaded 6 entries from the saved index %s in \d+\.\d\d s\n"
                             % re.escape(host_path(self.saved)))
            self.assertRegex(err, r"swp-host: brought the saved index up to date in \d+\.\d\d s: 1 added, \d+ "
                                  r"changed, 1 removed \(0 skipped\)\n")
            self.assertEqual(client.size("/tree/changed.txt"), 5)
            self.assertEqual(client.size("/tree/sub/added.txt"), 3)
            self.assertIsNone(client.size("/tree/removed.txt"))
            total, found = client.search("changed.txt", date_recently_changed_column=1)
            self.assertNotEqual(int(found[0][2]["DATE_RECENTLY_CHANGED"]), UNKNOWN)
            self.assertEqual(server.stop(), 0)
        # What the host saw change is still known after the next stop and start.
        with self.serve() as server, Client(server.port) as client:
            total, found = client.search("changed.txt", date_recently_changed_column=1)
            self.assertNotEqual(int(found[0][2]["DATE_RECENTLY_CHANGED"]), UNKNOWN)
            total, found = client.search("kept.txt", date_recently_changed_column=1)
            self.assertEqual(int(found[0][2]["DATE_RECENTLY_CHANGED"]), UNKNOWN)

    def test_a_second_host_neither_reads_nor_writes_the_saved_index_of_the_first(self):
        with self.serve() as first:
            self.assertEqual(first.stop(), 0)
        with open(self.saved, "rb") as saved:
            whole = saved.read()
        with self.serve() as first:
            touch(os.path.join(self.tree, "sub", "later.txt"), b"x")
            with self.serve() as second, Client(second.port) as client:
                self.assertEqual(client.size("/tree/sub/later.txt"), 1)
                self.assertEqual(second.stop(), 0)
                err = second.stderr_text()
            pid = r"\d+" if UNDER_WINE else str(first.pid)  # Windows numbers its processes itself
            self.assertRegex(err, r"swp-host: the saved index %s is in use by swp-host PID %s: this run neither "
                                  r"reads nor writes it\n" % (re.escape(host_path(self.saved)), pid))
            self.assertIn("swp-host: indexed 7 entries in ", err)
            with open(self.saved, "rb") as saved:
                self.assertEqual(saved.read(), whole)
            self.assertEqual(first.stop(), 0)
        # The lock went with the first run: the next one reads the file again.
        with self.serve() as server:
            self.assertIn("from the saved index", server.stderr_text())

    def test_a_file_that_does_not_fit_is_refused_and_the_folders_scanned(self):
        with self.serve() as server:
            self.assertEqual(server.stop(), 0)
        with open(self.saved, "rb") as saved:
            whole = saved.read()
        other = make_tree(os.path.join(self.home, "other"), {"x.txt": b"x"})
        damaged = bytearray(whole)
        damaged[len(whole) // 2] ^= 0x40
        other_version = bytearray(whole)
        other_version[8] += 1
        cases = [(whole[:len(whole) - 100], "it is truncated", None),
                 (bytes(damaged), "it is damaged (its checksum does not match)", None),
                 (bytes(other_version), "another version of swp-host wrote it", None),
                 (whole, "it is an index of other folders", other)]
        for content, reason, tree in cases:
            with open(self.saved, "wb") as saved:
                saved.write(content)
            with self.serve(tree) as server, Client(server.port) as client:
                self.assertIn("swp-host: the saved index %s is not used, as %s: the folders are scanned\n"
                              % (host_path(self.saved), reason), server.stderr_text())
                self.assertIn("swp-host: indexed ", server.stderr_text())
                self.assertEqual(client.size("/other/x.txt" if tree else "/tree/kept.txt"), 1)
        with Server(self.tree, args=["--no-index-file"]) as server:
            os.remove(self.saved)
            self.assertEqual(server.stop(), 0)
        self.assertFalse(os.path.exists(self.saved))


if __name__ == "__main__":
    unittest.main()
