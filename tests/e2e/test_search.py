"""The SORRELWICK command over loopback against swp-host on a small tree: every option word and
its reply, the query verb's three outcomes, the results reply's window and columns, folder sizes,
owed results cancelled by the next command, clients that leave mid-search, and the search answers
checked against the script's own walk of the tree."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import Control, Server, close_with_reset, make_tree, wait_until  # noqa: E402

ROOT_NAME = "swproot"
UNKNOWN_SIZE = 18446744073709551615
FILETIME_UNIX_EPOCH = 116444736000000000
FIXED_MTIME = 1_600_000_000  # whole seconds, so any file-time conversion gives the same number

TREE = {
    "alpha.txt": b"a" * 10,
    "Beta.LOG": b"b" * 200,
    "readme": b"",
    "Caf\u00e9.txt": b"c" * 4,
    "docs": None,
    "docs/alpha_notes.md": b"n" * 30,
    "docs/gamma.txt": b"g" * 5,
    "docs/sub": None,
    "docs/sub/delta.bin": b"d" * 1000,
    "docs/sub/ALPHABET.dat": b"x" * 7,
    "music": None,
    "music/Alpha Song.mp3": b"s" * 50,
    "music/zeta.mp3": b"z" * 3,
    "empty": None,
}

tree_home = None
tree_dir = None


def setUpModule():
    global tree_home, tree_dir
    tree_home = tempfile.mkdtemp(prefix="swp-search-")
    tree_dir = make_tree(os.path.join(tree_home, ROOT_NAME), TREE)
    for relative in TREE:
        os.utime(os.path.join(tree_dir, relative), ns=(FIXED_MTIME * 10**9, FIXED_MTIME * 10**9))


def tearDownModule():
    shutil.rmtree(tree_home, ignore_errors=True)


def index_argument():
    return tree_dir + "=" + ROOT_NAME


# ---- the results reply, parsed --------------------------------------------------------------

class Results:
    """A parsed results reply: the total and one list of (KEY, value) pairs per result, the last
    pair being ("FILE" or "FOLDER", name)."""

    def __init__(self, reply):
        lines = reply.split("\r\n")
        if lines[0] != "200-Query results" or lines[-1] != "" or lines[-2] != "200 End.":
            raise AssertionError("not a results reply: %r" % reply)
        body = lines[1:-2]
        if not body or not body[0].startswith(" RESULT_COUNT "):
            raise AssertionError("no RESULT_COUNT line: %r" % reply)
        self.total = int(body[0][len(" RESULT_COUNT "):])
        self.groups = []
        group = []
        for line in body[1:]:
            if not line.startswith(" "):
                raise AssertionError("result line without its leading blank: %r" % line)
            key, _, value = line[1:].partition(" ")
            group.append((key, value))
            if key in ("FILE", "FOLDER"):
                self.groups.append(group)
                group = []
        if group:
            raise AssertionError("a group not closed by FILE or FOLDER: %r" % group)

    def names(self):
        return [group[-1][1] for group in self.groups]

    def field(self, group, key):
        return dict(group)[key]


def walk_entries():
    """Every entry of the tree as the index names it: (folder path, name, is_folder)."""
    entries = {("", ROOT_NAME, True)}
    for folder, dirs, files in os.walk(tree_dir):
        relative = os.path.relpath(folder, tree_dir)
        path = ROOT_NAME if relative == "." else ROOT_NAME + "\\" + relative.replace(os.sep, "\\")
        entries.update((path, name, True) for name in dirs)
        entries.update((path, name, False) for name in files)
    return entries


class SearchSession(Control):
    """A logged-on control connection with the SORRELWICK command at hand."""

    def __init__(self, port):
        super().__init__(port)
        self.login()

    def option(self, word, value=None):
        return self.command("SORRELWICK " + word + ("" if value is None else " " + value))

    def options(self, **values):
        for word, value in values.items():
            reply = self.option(word, str(value))
            if not reply.startswith("200 "):
                raise AssertionError("SORRELWICK %s %s: %r" % (word, value, reply))

    def query(self):
        return Results(self.command("SORRELWICK query"))

    def query_then_noop(self):
        """Sends the query verb and NOOP in one segment and returns the replies to both. Owed
        results are cancelled by the NOOP; results sent at once come before its reply."""
        self.send_raw(b"SORRELWICK query\r\nNOOP\r\n")
        return self.read_reply(), self.read_reply()


def stop_and_check(server):
    """Stops a test group's server: it must exit cleanly, having destroyed every client it
    accepted."""
    try:
        code = server.stop()
        log = server.log_text()
    finally:
        server.__exit__(None, None, None)
    if code != 0:
        raise AssertionError("swp-host exited with %s" % code)
    if log.count("Connected.") != log.count("Disconnected."):
        raise AssertionError("clients left behind:\n" + log)


# ---- option words ---------------------------------------------------------------------------

FLAG_WORDS = [
    ("case", "Case"), ("whole_word", "Whole word"), ("path", "Path"), ("diacritics", "Diacritics"),
    ("prefix", "Prefix"), ("suffix", "Suffix"), ("ignore_punctuation", "Ignore punctuation"),
    ("ignore_whitespace", "Ignore whitespace"), ("regex", "Regex"),
    ("hide_empty_search_results", "Hide empty search results"),
]
FILTER_WORDS = [
    ("filter_case", "Filter case"), ("filter_whole_word", "Filter whole word"),
    ("filter_path", "Filter path"), ("filter_diacritics", "Filter diacritics"),
    ("filter_regex", "Filter regex"), ("filter_prefix", "Filter prefix"),
    ("filter_suffix", "Filter suffix"), ("filter_ignore_punctuation", "Filter ignore punctuation"),
    ("filter_ignore_whitespace", "Filter ignore whitespace"),
]
COLUMN_WORDS = [
    ("size_column", "Size column"), ("attributes_column", "Attributes column"),
    ("date_modified_column", "Date modified column"), ("date_created_column", "Date created column"),
    ("path_column", "Path column"), ("file_list_filename_column", "File list filename column"),
    ("date_recently_changed_column", "Date recently changed column"),
]
SORT_NAMES = [
    "name_ascending", "name_descending", "path_ascending", "path_descending", "size_ascending",
    "size_descending", "inverse_size_ascending", "inverse_size_descending", "extension_ascending",
    "extension_descending", "date_created_ascending", "date_created_descending",
    "date_modified_ascending", "date_modified_descending", "attributes_ascending",
    "attributes_descending", "file_list_filename_ascending", "file_list_filename_descending",
    "date_recently_changed_ascending", "date_recently_changed_descending",
]


def mixed_case(word):
    return "".join(c.upper() if i % 2 else c for i, c in enumerate(word))


class OptionWordTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(index_argument())

    @classmethod
    def tearDownClass(cls):
        stop_and_check(cls.server)

    def setUp(self):
        self.session = SearchSession(self.server.port)

    def tearDown(self):
        self.session.close()

    def test_flags_store_zero_or_one_in_any_case(self):
        for word, label in FLAG_WORDS:
            for sent_word, value, shown in [(word, "2", 1), (word.upper(), "0", 0),
                                            (mixed_case(word), "-5", 1), (word, "", 0)]:
                with self.subTest(word=sent_word, value=value):
                    self.assertEqual(self.session.option(sent_word, value),
                                     "200 %s set to (%d).\r\n" % (label, shown))

    def test_search_texts_keep_the_whole_value(self):
        for word, label in [("search", "Search"), ("filter_search", "Filter search")]:
            with self.subTest(word=word):
                self.assertEqual(self.session.option(word, "foo bar"), "200 %s set to (foo bar).\r\n" % label)
                self.assertEqual(self.session.option(word.upper(), "a  b\tc"),
                                 "200 %s set to (a  b\tc).\r\n" % label)
                self.assertEqual(self.session.option(word), "200 %s set to ().\r\n" % label)
                self.assertEqual(self.session.option(word, "Caf\u00e9"), "200 %s set to (Caf\u00e9).\r\n" % label)

    def test_filter_bits_are_set_and_cleared_one_at_a_time(self):
        for word, label in FILTER_WORDS:
            self.assertEqual(self.session.option(word, "1"), "200 %s set to (1).\r\n" % label)
        for word, label in FILTER_WORDS:
            with self.subTest(word=word):
                self.assertEqual(self.session.option(word.upper(), "0"), "200 %s set to (0).\r\n" % label)
                self.assertEqual(self.session.option(word, "7"), "200 %s set to (1).\r\n" % label)
                self.assertEqual(self.session.option(word, "0"), "200 %s set to (0).\r\n" % label)

    def test_every_sort_name_in_any_case(self):
        for name in SORT_NAMES:
            for sent in (name, name.upper(), mixed_case(name)):
                with self.subTest(sort=sent):
                    self.assertEqual(self.session.option("sort", sent), "200 Sort set to (%s).\r\n" % sent)

    def test_unknown_sort_names(self):
        for sent in ("size", "", "name_ascending x", "name_ascendingx", "descending"):
            with self.subTest(sort=sent):
                self.assertEqual(self.session.option("Sort", sent), "500 Unknown sort type.\r\n")

    def test_window_words_store_unsigned_numbers(self):
        cases = [("offset", "Offset", "10", 10), ("OFFSET", "Offset", "0", 0),
                 ("count", "Count", "4294967295", 4294967295), ("Count", "Count", "0", 0),
                 ("count", "Count", "5", 5)]
        for word, label, value, shown in cases:
            with self.subTest(word=word, value=value):
                self.assertEqual(self.session.option(word, value), "200 %s set to (%d).\r\n" % (label, shown))

    def test_column_words_store_the_number_as_given(self):
        for word, label in COLUMN_WORDS:
            with self.subTest(word=word):
                self.assertEqual(self.session.option(word, "7"), "200 %s set to (7).\r\n" % label)
                self.assertEqual(self.session.option(word.upper(), "1"), "200 %s set to (1).\r\n" % label)
                self.assertEqual(self.session.option(word, "-1"), "200 %s set to (4294967295).\r\n" % label)
                self.assertEqual(self.session.option(word, "0"), "200 %s set to (0).\r\n" % label)

    def test_unknown_words(self):
        for line in ("SORRELWICK frobnicate 1", "SORRELWICK", "SORRELWICK case_ 1", "SORRELWICK querys",
                     "SITE sorrelwick nothing"):
            with self.subTest(line=line):
                self.assertEqual(self.session.command(line), "500 Unknown Sorrelwick command.\r\n")

    def test_site_sorrelwick_reaches_the_same_words(self):
        self.assertEqual(self.session.command("SITE sorrelwick case 1"), "200 Case set to (1).\r\n")
        self.assertEqual(self.session.command("site SORRELWICK Search a b"), "200 Search set to (a b).\r\n")
        self.assertEqual(self.session.command("SITE Sorrelwick size_column 7"), "200 Size column set to (7).\r\n")


# ---- the query verb and the results reply ---------------------------------------------------

class QueryTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = Server(index_argument())

    @classmethod
    def tearDownClass(cls):
        stop_and_check(cls.server)

    def setUp(self):
        self.session = SearchSession(self.server.port)

    def tearDown(self):
        self.session.close()

    def test_first_query_searches_even_with_initial_options(self):
        aborted, noop = self.session.query_then_noop()
        self.assertEqual((aborted, noop), ("426 Query aborted.\r\n", "200 OK.\r\n"))

    def test_unchanged_options_resend_at_once(self):
        self.session.options(search="alpha")
        first = self.session.query()
        reply, noop = self.session.query_then_noop()
        self.assertEqual(Results(reply).names(), first.names())
        self.assertEqual(noop, "200 OK.\r\n")
        # The same text set again is no change either.
        self.session.options(search="alpha")
        reply, noop = self.session.query_then_noop()
        self.assertEqual((Results(reply).total, noop), (first.total, "200 OK.\r\n"))

    def test_a_new_window_resends_at_once(self):
        self.session.options(search="alpha")
        whole = self.session.query()
        self.assertEqual(whole.total, 4)
        self.session.options(offset=1, count=2)
        reply, noop = self.session.query_then_noop()
        window = Results(reply)
        self.assertEqual((window.total, window.names(), noop), (4, whole.names()[1:3], "200 OK.\r\n"))

    def test_windows(self):
        self.session.options(search="alpha")
        whole = self.session.query().names()
        cases = [(0, 4294967295, whole), (0, 4, whole), (0, 1, whole[:1]), (3, 10, whole[3:]),
                 (2, 1, whole[2:3]), (4, 10, []), (100, 5, []), (4294967295, 4294967295, []), (0, 0, []),
                 (2, 0, [])]
        for offset, count, expected in cases:
            with self.subTest(offset=offset, count=count):
                self.session.options(offset=offset, count=count)
                results = self.session.query()
                self.assertEqual((results.total, results.names()), (4, expected))

    def test_empty_window_keeps_the_whole_frame(self):
        self.session.options(search="no entry has this name", count=0)
        self.assertEqual(self.session.command("SORRELWICK query"),
                         "200-Query results\r\n RESULT_COUNT 0\r\n200 End.\r\n")

    def test_sort_only_change_is_not_resent_at_once(self):
        self.session.options(search="", size_column=1)
        self.session.query()
        self.session.options(sort="size_descending")
        self.assertEqual(self.session.query_then_noop(), ("426 Query aborted.\r\n", "200 OK.\r\n"))
        # A second sort change, answered this time: the order follows the sort.
        for name, descending in [("SIZE_ASCENDING", False), ("inverse_size_ascending", True),
                                 ("size_descending", True), ("inverse_size_descending", False)]:
            with self.subTest(sort=name):
                self.session.options(sort=name)
                sizes = [int(r.field(g, "SIZE")) for r in [self.session.query()] for g in r.groups]
                self.assertEqual(len(sizes), len(walk_entries()))
                self.assertEqual(sizes, sorted(sizes, reverse=descending))

    def test_column_change_searches_anew(self):
        self.session.options(search="gamma")
        self.session.query()
        self.session.options(size_column=1)
        self.assertEqual(self.session.query_then_noop(), ("426 Query aborted.\r\n", "200 OK.\r\n"))
        self.session.options(size_column=2)
        self.assertEqual(self.session.command("SORRELWICK query"),
                         "200-Query results\r\n RESULT_COUNT 1\r\n SIZE 5\r\n FILE gamma.txt\r\n200 End.\r\n")

    def test_owed_results_are_dropped_and_resent_later(self):
        self.session.options(search="zeta")
        self.assertEqual(self.session.query_then_noop(), ("426 Query aborted.\r\n", "200 OK.\r\n"))
        # The aborted search still finishes inside the host; once it has, the unchanged query
        # re-sends its results at once.
        wait_until(lambda: self.session.query().total == 1, what="the aborted search to finish")
        reply, noop = self.session.query_then_noop()
        self.assertEqual((Results(reply).names(), noop), (["zeta.mp3"], "200 OK.\r\n"))

    def test_no_columns_gives_one_line_per_result(self):
        self.session.options(search="zeta")
        self.assertEqual(self.session.command("SORRELWICK query"),
                         "200-Query results\r\n RESULT_COUNT 1\r\n FILE zeta.mp3\r\n200 End.\r\n")

    def test_every_column_line_in_order(self):
        for word, _ in COLUMN_WORDS:
            self.session.options(**{word: 1})
        self.session.options(search="gamma")
        results = self.session.query()
        self.assertEqual(results.total, 1)
        group = results.groups[0]
        self.assertEqual([key for key, _ in group],
                         ["PATH", "ATTRIBUTES", "SIZE", "DATE_MODIFIED", "DATE_CREATED", "FILE_LIST_FILENAME",
                          "DATE_RECENTLY_CHANGED", "FILE"])
        fields = dict(group)
        self.assertEqual(fields["PATH"], ROOT_NAME + "\\docs")
        self.assertEqual(int(fields["ATTRIBUTES"]) & 0x10, 0)
        self.assertEqual(fields["SIZE"], "5")
        self.assertEqual(int(fields["DATE_MODIFIED"]), FIXED_MTIME * 10**7 + FILETIME_UNIX_EPOCH)
        self.assertTrue(fields["DATE_CREATED"].isdigit())
        self.assertEqual(fields["FILE_LIST_FILENAME"], "")
        self.assertTrue(fields["DATE_RECENTLY_CHANGED"].isdigit())
        self.assertEqual(fields["FILE"], "gamma.txt")

    def test_a_folder_result(self):
        self.session.options(search="music", attributes_column=1, size_column=1)
        results = self.session.query()
        self.assertEqual(results.total, 1)
        group = results.groups[0]
        self.assertEqual([key for key, _ in group], ["ATTRIBUTES", "SIZE", "FOLDER"])
        self.assertEqual(int(group[0][1]) & 0x10, 0x10)
        self.assertEqual(group[1:], [("SIZE", "53"), ("FOLDER", "music")])

    def test_results_match_a_walk_of_the_tree(self):
        entries = walk_entries()
        self.session.options(path_column=1)
        for term in ["", "alpha", "ALPHA", "ta", "mp3", "sub", "caf", ".txt", "no such name"]:
            with self.subTest(term=term):
                self.session.options(search=term)
                results = self.session.query()
                found = [(r.field(g, "PATH"), g[-1][1], g[-1][0] == "FOLDER") for r in [results] for g in r.groups]
                expected = {e for e in entries if term.lower() in e[1].lower()}
                self.assertEqual(results.total, len(expected))
                self.assertEqual(len(found), len(expected))
                self.assertEqual(set(found), expected)

    def test_match_case_narrows_the_results(self):
        self.session.options(search="alpha")
        self.assertEqual(self.session.query().total, 4)
        self.session.options(case=1)
        self.assertEqual(sorted(self.session.query().names()), ["alpha.txt", "alpha_notes.md"])


class NoFolderSizeTests(unittest.TestCase):
    def test_folder_sizes_unknown(self):
        with Server(index_argument(), args=["--no-folder-sizes"]) as server:
            with SearchSession(server.port) as session:
                session.options(size_column=1)
                results = session.query()
                sizes = {g[-1][1]: (g[-1][0], int(results.field(g, "SIZE"))) for g in results.groups}
                self.assertEqual(len(sizes), len(walk_entries()))
                self.assertEqual(sizes["music"], ("FOLDER", UNKNOWN_SIZE))
                self.assertEqual(sizes[ROOT_NAME], ("FOLDER", UNKNOWN_SIZE))
                self.assertEqual(sizes["Alpha Song.mp3"], ("FILE", 50))
                self.assertEqual(sizes["readme"], ("FILE", 0))
            self.assertEqual(server.stop(), 0)


class DepartureTests(unittest.TestCase):
    def test_clients_leaving_mid_search(self):
        with Server(index_argument()) as server:
            with SearchSession(server.port) as bystander:
                bystander.options(search="alpha")
                expected = bystander.query().total
                leavers = 20
                for _ in range(leavers):
                    leaver = SearchSession(server.port)
                    leaver.options(regex=1, search="a.*|.*t")
                    leaver.send_raw(b"SORRELWICK query\r\n")
                    close_with_reset(leaver.sock)
                wait_until(lambda: server.log_text().count("Disconnected.") >= leavers,
                           what="every leaving client to be destroyed")
                # Nothing of the leavers' searches reached the client that stayed.
                self.assertEqual(bystander.command("NOOP"), "200 OK.\r\n")
                self.assertEqual(bystander.buffer, b"")
                self.assertEqual(bystander.query().total, expected)
            self.assertIsNone(server.process.poll())
            self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
