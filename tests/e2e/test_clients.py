"""Real FTP clients against swp-host over loopback: curl in its four data-connection modes over
IPv4 and IPv6, with resume and -I; Python's ftplib; lftp's mirror and wget's mirror, each compared
byte for byte and name for name with the served tree. A client whose program is not installed is
skipped."""

import ftplib
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import Server, ipv6_loopback_works, make_tree  # noqa: E402

ROOT = "clientroot"
BIG_FOLDER = "big"
BIG_COUNT = 70000
CLIENT_TIMEOUT = 300
MTIME_NS = int(time.mktime((2024, 1, 31, 15, 45, 0, 0, 0, -1))) * 10**9

TREE = {
    "zero.bin": b"",
    "block.bin": os.urandom(65536),
    "five.bin": os.urandom(5 * 1000 * 1000),
    "name with blanks.txt": b"blanks\n",
    "caf\u00e9 \u00fcber.txt": "\u00e4\u00f6\u00fc\n".encode("utf-8"),
    "\u65e5\u672c": None,
    "\u65e5\u672c/\u6587\u5b57.txt": b"kanji\n",
    "nested": None,
    "nested/level2": None,
    "nested/level2/level3": None,
    "nested/level2/level3/deep.txt": b"deep\n" * 100,
    "nested/level2/sibling.bin": os.urandom(1234),
    "nested/empty": None,
}

tree_home = None
tree_dir = None
server = None


def setUpModule():
    global tree_home, tree_dir, server
    tree_home = tempfile.mkdtemp(prefix="swp-clients-")
    tree_dir = make_tree(os.path.join(tree_home, ROOT), TREE)
    big = os.path.join(tree_dir, BIG_FOLDER)
    os.mkdir(big)
    for number in range(BIG_COUNT):
        open(os.path.join(big, "f%05d" % number), "wb").close()
    for relative in TREE:
        os.utime(os.path.join(tree_dir, relative), ns=(MTIME_NS, MTIME_NS))
    server = Server(tree_dir + "=" + ROOT, bind="127.0.0.1,::1" if ipv6_loopback_works() else "127.0.0.1",
                    start_timeout=120)


def tearDownModule():
    if server:
        server.__exit__(None, None, None)
    shutil.rmtree(tree_home, ignore_errors=True)


def port_of(host):
    for listening_host, port in server.listeners:
        if listening_host == host:
            return port
    raise unittest.SkipTest("swp-host does not listen on " + host)


def url_host(host):
    return "[%s]" % host if ":" in host else host


def tree_files(root, skip=(), ignore_names=()):
    """Relative path -> content digest of every file, and the set of folders, below root."""
    files, folders = {}, set()
    for folder, subfolders, names in os.walk(root):
        relative_folder = os.path.relpath(folder, root)
        subfolders[:] = [name for name in subfolders
                         if os.path.normpath(os.path.join(relative_folder, name)) not in skip]
        for name in subfolders:
            folders.add(os.path.normpath(os.path.join(relative_folder, name)))
        for name in names:
            if name in ignore_names:
                continue
            with open(os.path.join(folder, name), "rb") as content:
                files[os.path.normpath(os.path.join(relative_folder, name))] = hashlib.sha256(
                    content.read()).hexdigest()
    return files, folders


def run(command, **kwargs):
    return subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=CLIENT_TIMEOUT, **kwargs)


def require(program):
    if shutil.which(program) is None:
        raise unittest.SkipTest(program + " is not installed")


class ClientTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="swp-client-out-")

    def tearDown(self):
        shutil.rmtree(self.scratch, ignore_errors=True)


class Curl(ClientTest):
    MODES = {
        "epsv": [],
        "pasv": ["--disable-epsv"],
        "port": ["-P", "{host}", "--disable-eprt"],
        "eprt": ["-P", "{host}"],
    }

    def setUp(self):
        require("curl")
        super().setUp()

    def curl(self, host, mode, path, *extra):
        options = [option.format(host=host) for option in self.MODES[mode]]
        url = "ftp://%s:%d/%s" % (url_host(host), port_of(host), path)
        return run(["curl", "-sS", "--max-time", "120"] + options + list(extra) + [url])

    def check_modes(self, host, modes):
        for mode in modes:
            with self.subTest(host=host, mode=mode):
                listing = self.curl(host, mode, ROOT + "/")
                self.assertEqual(listing.returncode, 0, listing.stderr)
                # curl turns the listing's CR LF into LF, as for any ASCII transfer.
                names = sorted(line[48:] for line in listing.stdout.decode("utf-8").splitlines())
                self.assertEqual(names, sorted([name for name in TREE if "/" not in name] + [BIG_FOLDER]))
                target = os.path.join(self.scratch, mode + ".bin")
                download = self.curl(host, mode, ROOT + "/five.bin", "-o", target)
                self.assertEqual(download.returncode, 0, download.stderr)
                with open(target, "rb") as received:
                    self.assertEqual(received.read(), TREE["five.bin"])

    def test_four_modes_over_ipv4(self):
        self.check_modes("127.0.0.1", ["epsv", "pasv", "port", "eprt"])

    @unittest.skipUnless(ipv6_loopback_works(), "no IPv6 loopback")
    def test_extended_modes_over_ipv6(self):
        # Over IPv6 curl uses EPSV and EPRT whatever --disable-epsv and --disable-eprt say.
        self.check_modes("::1", ["epsv", "eprt"])

    def test_listing_of_seventy_thousand_entries(self):
        listing = self.curl("127.0.0.1", "epsv", "%s/%s/" % (ROOT, BIG_FOLDER))
        self.assertEqual(listing.returncode, 0, listing.stderr)
        lines = listing.stdout.decode("utf-8").splitlines()
        self.assertEqual(sorted(line[48:] for line in lines), ["f%05d" % n for n in range(BIG_COUNT)])

    def test_resume_continues_a_partial_file(self):
        target = os.path.join(self.scratch, "partial.bin")
        with open(target, "wb") as partial:
            partial.write(TREE["five.bin"][:1234567])
        result = self.curl("127.0.0.1", "epsv", ROOT + "/five.bin", "-C", "-", "-o", target)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(target, "rb") as received:
            self.assertEqual(received.read(), TREE["five.bin"])

    def test_head_reports_the_modification_time(self):
        result = self.curl("127.0.0.1", "epsv", ROOT + "/block.bin", "-I")
        self.assertEqual(result.returncode, 0, result.stderr)
        headers = result.stdout.decode("utf-8")
        # The MDTM answer is local time; curl reads it as GMT, so the header carries the local clock.
        self.assertIn("Last-Modified: Wed, 31 Jan 2024 15:45:00 GMT", headers)
        # SIZE is answered with 200, which curl does not take as a size: no Content-Length.
        self.assertNotIn("Content-Length", headers)

    def test_file_names_with_blanks_and_non_ascii(self):
        for name in ("name with blanks.txt", "caf\u00e9 \u00fcber.txt", "\u65e5\u672c/\u6587\u5b57.txt"):
            result = self.curl("127.0.0.1", "epsv", urllib.parse.quote(ROOT + "/" + name))
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout, TREE[name], name)


class PythonFtplib(ClientTest):
    def setUp(self):
        super().setUp()
        self.ftp = ftplib.FTP()
        self.ftp.encoding = "utf-8"
        self.ftp.connect("127.0.0.1", port_of("127.0.0.1"), timeout=60)
        self.ftp.login()
        self.ftp.cwd("/" + ROOT)

    def tearDown(self):
        self.ftp.quit()
        super().tearDown()

    def test_mlsd_facts(self):
        entries = dict(self.ftp.mlsd())
        self.assertEqual(entries["five.bin"]["type"], "file")
        self.assertEqual(entries["five.bin"]["size"], str(len(TREE["five.bin"])))
        self.assertEqual(entries["five.bin"]["modify"], "20240131154500")
        self.assertEqual(entries["nested"]["type"], "dir")
        self.assertIn("caf\u00e9 \u00fcber.txt", entries)

    def test_dir_and_nlst(self):
        lines = []
        self.ftp.dir(lines.append)
        self.assertIn("-r--r--r-- 1 ftp ftp       5000000 Jan 31  2024 five.bin", lines)
        # NLST is not among the commands: ftplib gets the unrecognised-command reply.
        with self.assertRaisesRegex(ftplib.error_perm, "^500 "):
            self.ftp.nlst()

    def test_retrbinary_with_rest(self):
        chunks = []
        self.ftp.retrbinary("RETR five.bin", chunks.append, rest=4000000)
        self.assertEqual(b"".join(chunks), TREE["five.bin"][4000000:])
        chunks = []
        self.ftp.retrbinary("RETR block.bin", chunks.append)
        self.assertEqual(b"".join(chunks), TREE["block.bin"])

    def test_size_and_mdtm(self):
        # ftplib.size() wants 213 and gives None for the 200 this server answers with.
        self.assertIsNone(self.ftp.size("five.bin"))
        self.assertEqual(self.ftp.sendcmd("SIZE five.bin"), "200 5000000")
        self.assertEqual(self.ftp.sendcmd("MDTM five.bin"), "213 20240131154500.000")


def assert_mirror_matches(test, mirrored_root):
    expected = tree_files(tree_dir, skip={BIG_FOLDER})
    # wget's mirror keeps the listings it parsed as .listing files.
    got = tree_files(mirrored_root, skip={BIG_FOLDER}, ignore_names={".listing"})
    test.assertEqual(sorted(got[0]), sorted(expected[0]))
    test.assertEqual(got[0], expected[0])
    test.assertEqual(got[1], expected[1])


class Lftp(ClientTest):
    def test_mirror_of_the_whole_tree(self):
        require("lftp")
        target = os.path.join(self.scratch, "mirror")
        script = ("set net:max-retries 1; set net:timeout 30; set ftp:ssl-allow no; set cmd:fail-exit yes; "
                  "open -u anonymous, -p %d 127.0.0.1; mirror --parallel=2 -x ^%s/$ /%s %s"
                  % (port_of("127.0.0.1"), BIG_FOLDER, ROOT, target))
        result = run(["lftp", "-c", script])
        self.assertEqual(result.returncode, 0, result.stderr)
        assert_mirror_matches(self, target)


class Wget(ClientTest):
    def test_mirror_of_the_whole_tree(self):
        require("wget")
        result = run(["wget", "-m", "-nH", "-q", "--restrict-file-names=nocontrol", "-X", "/%s/%s" % (ROOT, BIG_FOLDER),
                      "-P", self.scratch, "ftp://127.0.0.1:%d/%s/" % (port_of("127.0.0.1"), ROOT)])
        self.assertEqual(result.returncode, 0, result.stderr)
        assert_mirror_matches(self, os.path.join(self.scratch, ROOT))


if __name__ == "__main__":
    unittest.main()
