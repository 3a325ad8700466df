"""swp-search against a real swp-host on loopback: its output forms, its exits with their causes,
the password from the netrc file and from a prompt on a terminal, and --get with resume. With
SWP_WINE=1 swp-search.exe runs against swp-host.exe; the terminal case is POSIX's own."""

import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swp_harness import BUILD_DIR, UNDER_WINE, Server, host_path, make_tree, wait_until  # noqa: E402

CLIENT_EXE = os.path.join(BUILD_DIR, "swp-search.exe" if UNDER_WINE else "swp-search")
ROOT = "pub"
FIXED_MTIME = 1_600_000_000  # 2020-09-13 12:26:40 UTC
USER, PASSWORD = "reader", "s3cret-word"
MUSIC = bytes(range(256)) * 300  # more than one receive buffer

TREE = {
    "docs": None,
    "docs/report 2024.txt": b"r" * 3000,
    "docs/notes.md": b"n" * 10,
    "docs/sub": None,
    "docs/sub/deep report.txt": b"d" * 5,
    "music": None,
    "music/Song One.mp3": MUSIC,
}


def client_command(args):
    return (["wine", CLIENT_EXE] if UNDER_WINE else [CLIENT_EXE]) + list(args)


def run_client(args, env=None, timeout=120):
    environment = dict(os.environ if env is None else env)
    environment.pop("DISPLAY", None)
    return subprocess.run(client_command(args), stdin=subprocess.DEVNULL, capture_output=True, env=environment,
                          timeout=timeout)


def text(data):
    return data.decode("utf-8", "replace")


def tree_setUp(holder):
    holder.home = tempfile.mkdtemp(prefix="swp-e2e-client-")
    holder.tree = make_tree(os.path.join(holder.home, "tree"), TREE)
    for relative in TREE:
        os.utime(os.path.join(holder.tree, relative), (FIXED_MTIME, FIXED_MTIME))
    holder.index = holder.tree + "=" + ROOT


class FakeServer:
    """An FTP server on loopback that logs anyone on and knows no SORRELWICK command; with
    `endless_banner` its banner is a line that never ends (bounded here to 4 MiB)."""

    def __init__(self, endless_banner=False):
        self.endless_banner = endless_banner
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        connection, _ = self.listener.accept()
        with connection, connection.makefile("rb") as lines:
            if self.endless_banner:
                try:
                    for _ in range(64):
                        connection.sendall(b"220 " + b"x" * 65536)
                except OSError:  # the client has given up
                    pass
                return
            connection.sendall(b"220 plain FTP\r\n")
            for line in lines:
                word = line.split()[0].upper() if line.split() else b""
                answer = {b"USER": b"230 Logged on.\r\n", b"QUIT": b"221 Bye.\r\n"}.get(
                    word, b"500 Syntax error, command unrecognized.\r\n")
                connection.sendall(answer)

    def close(self):
        self.listener.close()
        self.thread.join(timeout=30)


class ServedTree(unittest.TestCase):
    """The test tree served by one host without a password for the whole class."""

    @classmethod
    def setUpClass(cls):
        tree_setUp(cls)
        cls.server = Server(cls.index)
        cls.url = "ftp://127.0.0.1:%d" % cls.server.port

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.home, ignore_errors=True)


class Forms(ServedTree):
    """The output forms and the window of results, on a server without a password."""

    def search(self, *args):
        result = run_client(list(args[:-1]) + [self.url, args[-1]])
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.returncode, 0)
        return text(result.stdout)

    def test_paths_long_json_nul_and_urls(self):
        self.assertEqual(self.search("report"), "/pub/docs/sub/deep report.txt\n/pub/docs/report 2024.txt\n")
        local = time.strftime("%Y-%m-%d %H:%M", time.localtime(FIXED_MTIME))
        self.assertEqual(self.search("-l", "*.mp3"), "-%13d %s /pub/music/Song One.mp3\n" % (len(MUSIC), local))
        record = json.loads(self.search("--json", "notes"))
        self.assertEqual(record, {"path": "/pub/docs/notes.md", "type": "file", "size": 10,
                                  "modified": "2020-09-13T12:26:40Z", "created": record["created"],
                                  "recently_changed": None, "attributes": record["attributes"]})
        folder = json.loads(self.search("--json", "sub"))
        self.assertEqual((folder["type"], folder["path"]), ("folder", "/pub/docs/sub"))
        self.assertEqual(self.search("-0", "--url", "report"),
                         "%s/pub/docs/sub/deep%%20report.txt\0%s/pub/docs/report%%202024.txt\0" % (self.url, self.url))

    def test_window_and_options(self):
        self.assertEqual(self.search("--sort", "size_descending", "report"),
                         "/pub/docs/report 2024.txt\n/pub/docs/sub/deep report.txt\n")
        self.assertEqual(self.search("--sort", "size_ascending", "--offset", "1", "-n", "1", "report"),
                         "/pub/docs/report 2024.txt\n")
        self.assertEqual(self.search("--case", "-w", "Song|One"), "/pub/music/Song One.mp3\n")
        self.assertEqual(self.search("--path", "sub"), "/pub/docs/sub/deep report.txt\n/pub/docs/sub\n")
        self.assertEqual(self.search("sub"), "/pub/docs/sub\n")
        # Every flag's option word and value is one the server takes.
        flags = ["-i", "--case", "-w", "--path", "--diacritics", "--prefix", "--suffix", "--ignore-punctuation",
                 "--ignore-whitespace", "-r", "--hide-empty", "--filter", "x", "--filter-case", "--filter-whole-word",
                 "--filter-path", "--filter-diacritics", "--filter-prefix", "--filter-suffix",
                 "--filter-ignore-punctuation", "--filter-ignore-whitespace", "--filter-regex", "--sort",
                 "DATE_RECENTLY_CHANGED_descending", "--json"]
        every = run_client(flags + [self.url, "report"])
        self.assertEqual(every.stderr, b"")
        self.assertIn(every.returncode, (0, 1))

    def test_exits_and_their_causes(self):
        nothing = run_client([self.url, "no-such-name"])
        self.assertEqual((nothing.returncode, nothing.stdout, nothing.stderr), (1, b"", b""))
        regex = run_client(["-r", self.url, "(unclosed"])
        self.assertEqual(regex.returncode, 2)
        self.assertIn("the server cannot run the regular expression (unclosed: missing )", text(regex.stderr))
        with socket.socket() as unused:  # a port that nothing listens on
            unused.bind(("127.0.0.1", 0))
            refused = run_client(["ftp://127.0.0.1:%d" % unused.getsockname()[1], "x"])
        self.assertEqual(refused.returncode, 2)
        self.assertIn("connection refused (error 10061)", text(refused.stderr))
        fake = FakeServer()
        try:
            plain = run_client(["ftp://127.0.0.1:%d" % fake.port, "x"])
        finally:
            fake.close()
        self.assertEqual(plain.returncode, 2)
        self.assertIn("is not an SWP server: it does not know the SORRELWICK command", text(plain.stderr))
        fake = FakeServer(endless_banner=True)
        try:
            endless = run_client(["ftp://127.0.0.1:%d" % fake.port, "x"])
        finally:
            fake.close()
        self.assertEqual(endless.returncode, 2)
        self.assertIn("the server sent a line longer than 1 MiB", text(endless.stderr))
        usage = run_client(["--sort", "size", self.url, "x"])
        self.assertEqual(usage.returncode, 2)
        self.assertIn('unknown sort name "size"', text(usage.stderr))

    def test_results_come_a_page_at_a_time(self):
        # More results than one page: each is printed once, in the server's order.
        many = os.path.join(self.home, "many")
        os.mkdir(many)
        names = ["m%05d.bulk" % number for number in range(10050)]
        for name in names:
            open(os.path.join(many, name), "wb").close()
        try:
            with Server(many + "=bulk") as server:
                result = run_client(["--all", "ftp://127.0.0.1:%d" % server.port, ".bulk"])
        finally:
            shutil.rmtree(many, ignore_errors=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(text(result.stdout).splitlines(), ["/bulk/" + name for name in names])


class Logins(unittest.TestCase):
    """A server with a user and a password: the netrc file, a wrong password, the prompt."""

    @classmethod
    def setUpClass(cls):
        tree_setUp(cls)
        cls.server = Server(cls.index, args=["--user", USER, "--password", PASSWORD])
        cls.url = "ftp://%s@127.0.0.1:%d" % (USER, cls.server.port)

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.home, ignore_errors=True)

    def netrc_environment(self, password):
        """An environment whose netrc file names this server with `password`; the file is removed at the end."""
        if UNDER_WINE:
            profile = subprocess.run(["wine", "cmd", "/c", "echo %USERPROFILE%"], capture_output=True,
                                     timeout=60).stdout.decode().strip()
            folder = subprocess.run(["winepath", "-u", profile], capture_output=True, timeout=60).stdout.decode().strip()
            path, env = os.path.join(folder, "_netrc"), dict(os.environ)
        else:
            folder = os.path.join(self.home, "user")
            os.makedirs(folder, exist_ok=True)
            path, env = os.path.join(folder, ".netrc"), dict(os.environ, HOME=folder)
        with open(path, "w") as netrc:
            netrc.write("machine other.example login x password y\n"
                        "machine 127.0.0.1\n  login %s\n  password \"%s\"\n" % (USER, password))
        self.addCleanup(lambda: os.path.exists(path) and os.remove(path))
        return env

    def test_netrc_gives_the_password_which_is_never_printed(self):
        found = run_client([self.url, "notes"], env=self.netrc_environment(PASSWORD))
        self.assertEqual((found.returncode, found.stdout, found.stderr), (0, b"/pub/docs/notes.md\n", b""))
        wrong = run_client([self.url.replace(USER + "@", ""), "notes"], env=self.netrc_environment("wrong-word"))
        self.assertEqual(wrong.returncode, 2)
        self.assertIn('login refused for user %s: the server says "530 Login or password incorrect!"' % USER,
                      text(wrong.stderr))
        self.assertNotIn(b"wrong-word", wrong.stderr)
        url_password = run_client(["ftp://%s:%s@127.0.0.1:%d" % (USER, "bad%20one", self.server.port), "x"])
        self.assertEqual(url_password.returncode, 2)
        self.assertNotIn(b"bad", url_password.stdout + url_password.stderr)

    @unittest.skipIf(UNDER_WINE, "a Windows console is no pseudo-terminal")
    def test_terminal_prompt_hides_the_password_and_shows_progress(self):
        import pty  # POSIX only
        master, slave = pty.openpty()
        target = os.path.join(self.home, "prompted")
        env = dict(os.environ, HOME=os.path.join(self.home, "nobody"))
        process = subprocess.Popen(client_command(["--get", target, self.url, "report"]), stdin=slave, stderr=slave,
                                   stdout=subprocess.PIPE, env=env)
        os.close(slave)
        seen = bytearray()
        seen_lock = threading.Lock()

        def read_terminal():  # until the client has ended and the terminal is gone
            while True:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    return
                if not chunk:
                    return
                with seen_lock:
                    seen.extend(chunk)

        def shown():
            with seen_lock:
                return bytes(seen)

        reader = threading.Thread(target=read_terminal, daemon=True)
        reader.start()
        try:
            wait_until(lambda: b"Password for reader@127.0.0.1: " in shown(), what="the password prompt")
            os.write(master, PASSWORD.encode() + b"\n")
            stdout = process.communicate(timeout=60)[0]
            reader.join(timeout=30)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
            os.close(master)
        seen = shown()
        self.assertEqual(process.returncode, 0)
        self.assertEqual(stdout, b"/pub/docs/sub/deep report.txt\n/pub/docs/report 2024.txt\n")
        self.assertNotIn(PASSWORD.encode(), seen)
        self.assertIn(b"2 of 2 files", seen)
        with open(os.path.join(target, ROOT, "docs", "report 2024.txt"), "rb") as saved:
            self.assertEqual(saved.read(), TREE["docs/report 2024.txt"])


class Downloads(ServedTree):
    """--get: files under their folders, a folder's tree, a partial file resumed, a refused file."""

    def saved(self, target, relative):
        with open(os.path.join(target, ROOT, relative), "rb") as saved:
            return saved.read()

    def retr_count(self, ftp_path):
        return sum(line.endswith(": RETR " + ftp_path) for line in self.server.log_text().split("\r\n"))

    def test_a_tree_then_a_resume(self):
        target = os.path.join(self.home, "target")
        first = run_client(["--get", host_path(target), "-R", self.url, "music|docs"])
        self.assertEqual((first.returncode, first.stderr), (0, b""))
        self.assertEqual(first.stdout, b"/pub/docs\n/pub/music\n")  # nothing beside the results on a pipe
        for relative, content in TREE.items():
            if content is not None:
                self.assertEqual(self.saved(target, relative), content, relative)
        self.assertTrue(os.path.isdir(os.path.join(target, ROOT, "docs", "sub")))

        # A partial file is resumed from its end; a complete one is not fetched again.
        with open(os.path.join(target, ROOT, "music", "Song One.mp3"), "r+b") as partial:
            partial.truncate(1000)
        song, notes = "/pub/music/Song One.mp3", "/pub/docs/notes.md"
        retrieved = self.retr_count(song), self.retr_count(notes)
        again = run_client(["--get", host_path(target), self.url, "Song|notes"])
        self.assertEqual((again.returncode, again.stderr), (0, b""))
        self.assertEqual(self.saved(target, "music/Song One.mp3"), MUSIC)
        self.server.wait_for_log(": REST 1000\r\n")
        wait_until(lambda: self.retr_count(song) == retrieved[0] + 1, what="the resumed RETR in the log")
        self.assertEqual(self.retr_count(notes), retrieved[1])

    def test_a_refused_download_names_the_file(self):
        with Server(self.index, args=["--no-download"]) as server:
            target = os.path.join(self.home, "refused")
            result = run_client(["--get", host_path(target), "ftp://127.0.0.1:%d" % server.port, "notes"])
        self.assertEqual(result.returncode, 2)
        self.assertIn('download failed: /pub/docs/notes.md: the server says "550 File not found."', text(result.stderr))


if __name__ == "__main__":
    unittest.main()
