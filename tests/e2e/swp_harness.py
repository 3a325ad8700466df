"""Shared pieces of the end-to-end tests: a real swp-host on loopback, a raw control connection,
and waiting for conditions with a deadline.

With SWP_WINE=1 (the Windows build's tests) the host is swp-host.exe, run by Wine in the prefix
WINEPREFIX: it is stopped with Ctrl+C, and its threads, handles and sockets are counted from the
Windows side by swp-probe.exe instead of from /proc."""

import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

BUILD_DIR = os.environ.get(
    "SWP_BUILD_DIR",
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build"))
UNDER_WINE = os.environ.get("SWP_WINE") == "1"
HOST_EXE = os.path.join(BUILD_DIR, "swp-host.exe" if UNDER_WINE else "swp-host")
PROBE_EXE = os.path.join(BUILD_DIR, "swp-probe.exe")
# Wine turns SIGINT into Ctrl+C; its SIGTERM ends a process at once.
STOP_SIGNAL = signal.SIGINT if UNDER_WINE else signal.SIGTERM
# A library that loads but has no entry point.
LIBRARY_WITHOUT_ENTRY = ("C:\\windows\\system32\\version.dll" if UNDER_WINE
                         else os.path.join(BUILD_DIR, "libwin32.so"))

LISTENING = re.compile(r"swp-host: listening on (\[[^\]]+\]|[^:\s]+):(\d+)")
# The line that says the index is complete and follows the disk: after a scan, or after a saved
# index was brought up to date.
INDEX_READY = re.compile(r"swp-host: (indexed \d+ entries in|brought the saved index up to date in)")


def host_command(args, executable=HOST_EXE):
    """The command line that runs swp-host (or `executable`) with `args`."""
    return (["wine", executable] if UNDER_WINE else [executable]) + list(args)


def host_path(path):
    """An absolute path of this machine as the host's settings file gives it: under Wine a Windows
    path on drive Z:, which Wine maps to the root folder."""
    return "Z:" + path.replace("/", "\\") if UNDER_WINE else path


def host_environment(home):
    """The environment of a host whose settings, state and cache folders are private to `home`."""
    env = dict(os.environ)
    env["XDG_CONFIG_HOME"] = os.path.join(home, "config")
    env["XDG_STATE_HOME"] = os.path.join(home, "state")
    env["XDG_CACHE_HOME"] = os.path.join(home, "cache")  # the saved index
    if UNDER_WINE:
        env["WINEDEBUG"] = "-all"
        env.pop("DISPLAY", None)  # the server needs no window system
    return env


def stop_process(process, timeout=30.0, signal_number=STOP_SIGNAL):
    """Sends the stop signal and waits for the exit; returns the exit code, or None when the process
    still runs after `timeout`. Wine now and then loses a Ctrl+C (the console handler never runs),
    so under Wine the signal is repeated every few seconds, as a user at a console would."""
    deadline = time.monotonic() + timeout
    while True:
        if process.poll() is None:
            process.send_signal(signal_number)
        remaining = deadline - time.monotonic()
        try:
            return process.wait(timeout=max(0.0, min(remaining, 5.0) if UNDER_WINE else remaining))
        except subprocess.TimeoutExpired:
            if time.monotonic() >= deadline:
                return None


def console_text(data):
    """What the host wrote on stdout or stderr, as text with LF line ends (Windows console programs
    end their lines with CR LF)."""
    return data.decode("utf-8", "replace").replace("\r\n", "\n")


def probe(*args):
    """Runs swp-probe.exe in the Wine prefix; its output, or None when it failed."""
    env = dict(os.environ, WINEDEBUG="-all")
    result = subprocess.run(["wine", PROBE_EXE] + list(args), stdin=subprocess.DEVNULL, capture_output=True,
                            env=env, timeout=60)
    return result.stdout.decode("utf-8", "replace") if result.returncode == 0 else None


def default_state_folder(home):
    """Where a host started with host_environment(home) keeps its default activity log."""
    if not UNDER_WINE:
        return os.path.join(home, "state", "swp-host")
    folder = probe("folder").strip()
    unix = subprocess.run(["winepath", "-u", folder], capture_output=True, env=dict(os.environ, WINEDEBUG="-all"),
                          timeout=60)
    return os.path.join(unix.stdout.decode("utf-8").strip(), "swp-host")


def default_cache_folder(home):
    """Where a host started with host_environment(home) keeps its saved index by default."""
    if not UNDER_WINE:
        return os.path.join(home, "cache", "swp-host")
    return os.path.join(os.path.dirname(default_state_folder(home)), "swp-host")


def file_is_private(path):
    """Whether only the file's owner may open it: mode 0600 on Linux; on Windows an access list of
    this user alone (Wine shows its own SYSTEM entry beside it), with no entry for everyone or all
    users."""
    if not UNDER_WINE:
        return os.stat(path).st_mode & 0o777 == 0o600
    answer = probe("access", host_path(path))
    if answer is None:
        return False
    access, sid = answer.split()[:2]
    return "(A;;FA;;;%s)" % sid in access and not any(";;;%s)" % group in access for group in ("WD", "BU", "AU"))


def unprivileged(command):
    """The command run as an ordinary user: as nobody when the tests run as the superuser, whom
    permissions do not stop."""
    if os.geteuid() != 0:
        return list(command)
    return ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + list(command)


def wait_until(predicate, timeout=20.0, interval=0.01, what="condition"):
    """Polls predicate until it returns a true value, which is returned; fails after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(interval)


class Server:
    """swp-host serving `tree` on 127.0.0.1 with a port the system chooses.

    Settings and state live in a temporary folder of their own, and the activity log goes to
    `log_path` unless `args` says otherwise, and the saved index to its cache folder (which Windows
    has in the Wine prefix every test shares, unless `default_index_file` asks for it). `wrapper` is a
    command that runs swp-host in its own process (such as prlimit, which execs it). The server is
    returned once it listens and its index is complete. Use as a context manager; `stop()` sends
    SIGTERM (Ctrl+C under Wine) and returns the exit code."""

    def __init__(self, tree=None, args=(), bind="127.0.0.1", start_timeout=60.0, expect_listen=True,
                 as_user=False, executable=HOST_EXE, wrapper=(), default_index_file=False):
        self.home = tempfile.mkdtemp(prefix="swp-e2e-")
        if as_user:
            os.chmod(self.home, 0o755)
        self.log_path = os.path.join(self.home, "activity.log")
        self.settings_path = os.path.join(self.home, "settings.ini")
        command = ["--settings", self.settings_path]
        if tree is not None:
            command += ["--index", tree]
        args = list(args)
        if "--port" not in args:
            command += ["--port", "0"]
        if "--bind" not in args and bind is not None:
            command += ["--bind", bind]
        if "--log" not in args and "--no-log" not in args:
            command += ["--log", self.log_path]
        # Windows keeps the saved index in the Wine prefix, which every test shares.
        if UNDER_WINE and not default_index_file and "--index-file" not in args and "--no-index-file" not in args:
            command += ["--index-file", host_path(os.path.join(self.home, "cache", "index"))]
        command = list(wrapper) + host_command(command + args, executable)
        self.command = unprivileged(command) if as_user else command
        self.process = subprocess.Popen(self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=host_environment(self.home))
        self.pid = self.process.pid
        self.listeners = []
        self.index_ready = False
        self._stderr = []
        self._stderr_lock = threading.Lock()
        self._readers = [threading.Thread(target=self._drain, args=(self.process.stderr, True), daemon=True),
                         threading.Thread(target=self._drain, args=(self.process.stdout, False), daemon=True)]
        for reader in self._readers:
            reader.start()
        if expect_listen:
            try:
                wait_until(lambda: self.listeners or self.process.poll() is not None,
                           timeout=start_timeout, what="swp-host to listen")
            except AssertionError:
                self.stop()
                raise
            if not self.listeners:
                self.process.wait(timeout=10)
                raise AssertionError("swp-host ended before listening (exit %s):\n%s"
                                     % (self.process.returncode, self.stderr_text()))
            try:
                wait_until(lambda: self.index_ready or self.process.poll() is not None,
                           timeout=start_timeout, what="the index to be complete")
            except AssertionError:
                self.stop()
                raise

    def _drain(self, stream, is_stderr):
        for raw in iter(stream.readline, b""):
            line = console_text(raw)
            with self._stderr_lock:
                self._stderr.append(line)
            if is_stderr:
                match = LISTENING.search(line)
                if match:
                    self.listeners.append((match.group(1).strip("[]"), int(match.group(2))))
                if INDEX_READY.search(line):
                    self.index_ready = True
        stream.close()

    @property
    def port(self):
        return self.listeners[0][1]

    def stderr_text(self):
        with self._stderr_lock:
            return "".join(self._stderr)

    def log_text(self):
        try:
            with open(self.log_path, "rb") as log:
                return log.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def wait_for_log(self, text, timeout=20.0):
        return wait_until(lambda: text in self.log_text(), timeout=timeout, what="log line " + repr(text))

    def rss_bytes(self):
        with open("/proc/%d/status" % self.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
        return 0

    def cpu_seconds(self):
        """User and system time the process has used so far."""
        with open("/proc/%d/stat" % self.pid) as stat:
            fields = stat.read().rpartition(")")[2].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def kill(self):
        """Ends a server that no longer stops by itself (SIGKILL to its own process)."""
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=30)

    def stop(self, timeout=30.0):
        """Sends the stop signal and waits for the exit; returns the exit code."""
        if stop_process(self.process, timeout) is None:
            self.process.kill()
            self.process.wait(timeout=10)
            raise AssertionError("swp-host did not stop within %.0f s" % timeout)
        for reader in self._readers:
            reader.join(timeout=10)
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            self.stop()
        finally:
            shutil.rmtree(self.home, ignore_errors=True)


class Control:
    """A raw FTP control connection that reads whole replies."""

    def __init__(self, port, host="127.0.0.1", timeout=20.0, read_banner=True):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect((host, port))
        self.buffer = b""
        self.banner = self.read_reply() if read_banner else None

    def send_raw(self, data):
        self.sock.sendall(data)

    def send_line(self, text):
        self.sock.sendall(text.encode("utf-8") + b"\r\n")

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError("connection closed")
        self.buffer += chunk

    def read_line_bytes(self):
        while b"\n" not in self.buffer:
            self._fill()
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line + b"\n"

    def read_reply_bytes(self):
        """One reply, single or multi-line ("ddd-" ... "ddd "), as the bytes received."""
        first = self.read_line_bytes()
        if len(first) < 4 or first[3:4] != b"-":
            return first
        # The closing line is found in the buffer as a whole, not line by line: a search reply
        # can hold hundreds of thousands of lines.
        closing = b"\n" + first[:3] + b" "
        if self.buffer.startswith(closing[1:]):
            end = self._line_end(0)
        else:
            end, scanned = -1, 0
            while end < 0:
                at = self.buffer.find(closing, scanned)
                if at >= 0:
                    end = self._line_end(at + 1)
                    break
                scanned = max(0, len(self.buffer) - len(closing))
                self._fill()
        reply, self.buffer = first + self.buffer[:end], self.buffer[end:]
        return reply

    def _line_end(self, start):
        """The index just after the LF of the line that begins at `start`, reading as needed."""
        while True:
            at = self.buffer.find(b"\n", start)
            if at >= 0:
                return at + 1
            start = len(self.buffer)
            self._fill()

    def read_reply(self):
        return self.read_reply_bytes().decode("utf-8", "replace")

    def read_exact(self, count):
        while len(self.buffer) < count:
            self._fill()
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def command(self, text):
        self.send_line(text)
        return self.read_reply()

    def login(self, user="anonymous", password=None):
        reply = self.command("USER " + user)
        if reply.startswith("331"):
            reply = self.command("PASS " + (password or ""))
        if not reply.startswith("230"):
            raise AssertionError("login failed: " + reply)
        return reply

    def is_closed(self, timeout=20.0):
        """True once the server has closed the connection (unread data is discarded)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                self.sock.settimeout(max(0.01, deadline - time.monotonic()))
                chunk = self.sock.recv(65536)
            except socket.timeout:
                return False
            except OSError:
                return True
            if not chunk:
                return True
            self.buffer += chunk
        return False

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def make_tree(root, entries):
    """Creates files and folders under root: entries maps relative paths to bytes (a file) or None
    (a folder)."""
    for relative, content in entries.items():
        path = os.path.join(root, relative)
        if content is None:
            os.makedirs(path, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(content)
    return root


def ipv6_loopback_works():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
        return True
    except OSError:
        return False


def read_to_end(sock):
    """Everything a data connection carries until the server closes it; closes the socket."""
    chunks = []
    while True:
        chunk = sock.recv(1 << 20)
        if not chunk:
            break
        chunks.append(chunk)
    sock.close()
    return b"".join(chunks)


def descriptors(pid):
    """What each open descriptor names; one closed while it is read is left out."""
    folder = "/proc/%d/fd" % pid
    targets = []
    for name in os.listdir(folder):
        try:
            targets.append(os.readlink(os.path.join(folder, name)))
        except FileNotFoundError:
            continue
    return sorted(targets)


def close_with_reset(sock):
    """Closes with a reset (SO_LINGER 0), as a client that gives up does, so that the server sees
    the departure at once."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def pasv_port(reply):
    """The address and port of a 227 reply."""
    match = re.fullmatch(r"227 Entering Passive Mode\. \((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)\r\n", reply)
    assert match, reply
    numbers = [int(n) for n in match.groups()]
    return ".".join(map(str, numbers[:4])), numbers[4] * 256 + numbers[5]


def epsv_port(reply):
    """The port of a 229 reply."""
    match = re.fullmatch(r"229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\)\r\n", reply)
    assert match, reply
    return int(match.group(1))


def process_counts(pid):
    return len(os.listdir("/proc/%d/task" % pid)), len(os.listdir("/proc/%d/fd" % pid))


def server_counts(server):
    """The server's threads and open descriptors (handles under Wine)."""
    if UNDER_WINE:
        threads, handles, _ = server_probe_counts(server)
        return threads, handles
    return len(os.listdir("/proc/%d/task" % server.pid)), len(os.listdir("/proc/%d/fd" % server.pid))


def server_probe_counts(server):
    """Threads, handles and sockets of a server run by Wine, found by its unique settings path."""
    answer = probe("counts", server.settings_path)
    if answer is None:
        raise AssertionError("swp-probe found no swp-host.exe for " + server.settings_path)
    return tuple(int(field) for field in answer.split())


def socket_count(server):
    if UNDER_WINE:
        return server_probe_counts(server)[2]
    return sum(name.startswith("socket:") for name in descriptors(server.pid))


def open_objects(server):
    """For messages: what the server holds open."""
    return server_probe_counts(server) if UNDER_WINE else descriptors(server.pid)


def settled_counts(server):
    """Threads and descriptors of an idle server, after one client has come and gone, so that
    whatever the server makes lazily on its first client is counted too."""
    host, port = server.listeners[0]
    with Control(port, host=host) as warm_up:
        warm_up.login()
        warm_up.command("QUIT")
        wait_until(warm_up.is_closed, what="the warm-up client to be closed")

    try:
        wait_until(lambda: socket_count(server) == len(server.listeners), what="only the listening sockets left")
        return server_counts(server)
    except BaseException:
        # Called from setUpClass, whose failure skips tearDownClass: the server must not outlive it.
        server.__exit__(None, None, None)
        raise


def counts_settled(counts, baseline):
    """Whether (threads, descriptors) are back within `baseline`: a leak shows as more, while the
    host may end an idle worker or finish its background scan meanwhile, and so hold fewer."""
    return counts[0] <= baseline[0] and counts[1] <= baseline[1]


def stop_when_settled(server, baseline):
    """Stops the server once its threads and descriptors are back to `baseline`, so that every data
    socket, listener, reader thread and client of a test group is known to be gone."""
    try:
        try:
            wait_until(lambda: counts_settled(server_counts(server), baseline))
        except AssertionError:
            raise AssertionError("threads and descriptors %s, not back to %s; open: %s" % (
                server_counts(server), baseline, open_objects(server))) from None
    finally:
        server.__exit__(None, None, None)
