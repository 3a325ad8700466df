#!/usr/bin/env python3
"""Transfers, listings and held clients of swp-host on loopback, side by side with the peers that
are installed (vsftpd, pure-ftpd, pyftpdlib; each started here on a loopback port with a temporary
configuration and a passive port range of its own):

- RETR of a 1 GiB cached file: speed, and the server's processor time per GiB, beside a bare
  two-thread copy loop that hands one 64 KiB buffer between a reader and a sender through a
  condition variable (swp_bench_transfer copy), and a send loop that reads and sends through one
  64 KiB buffer on one thread (swp_bench_transfer send): with no hand-over at all, the bound of
  any download that copies through user memory, as one with a reader thread and one buffer does;
- LIST and MLSD of a folder of 100,000 entries;
- 1,000 files of 4 KiB fetched one after another over one control connection with ftplib;
- 1,000 (and 10,000) idle logged-in connections: the server's memory, its processor time while
  1,000 of them are held and nothing is sent, and the NOOP round trip of one more client while they
  are held (10,000 only for the servers that hold clients in one
  process: the forking peers would start 10,000 processes).

The servers run side by side and every round measures each of them in turn (interleaved rounds);
each figure is the median of --runs rounds (at least 5) with its min and max. Rows go to the one
table of bench/bench_table.py."""

import argparse
import ftplib
import os
import pwd
import re
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from swp_harness import Server  # noqa: E402
import bench_table  # noqa: E402

BIG_SIZE = 1 << 30
LIST_ENTRIES = 100000
SMALL_FILES = 1000
SMALL_SIZE = 4096
IDLE_CONNECTIONS = (1000, 10000)
MANY_CLIENT_ROUNDS = 3  # rounds of the 10,000-client figures: holding them takes long
NOOP_SAMPLES = 1000
IDLE_WINDOW = 5.0     # seconds of held, silent clients over which the server's processor time is read
TIME_LIMIT = 2400.0   # seconds for the whole run, tree generation included
IO_TIMEOUT = 120.0
ROOT = "bench"



# ---- the served tree ---------------------------------------------------------------------------

def make_tree(root):
    os.makedirs(os.path.join(root, "list"))
    os.makedirs(os.path.join(root, "small"))
    chunk = os.urandom(1 << 24)
    with open(os.path.join(root, "big.bin"), "wb") as big:
        for _ in range(BIG_SIZE // len(chunk)):
            big.write(chunk)
    for number in range(LIST_ENTRIES):
        open(os.path.join(root, "list", "entry_%06d.dat" % number), "wb").close()
    for number in range(SMALL_FILES):
        with open(os.path.join(root, "small", "s%04d.bin" % number), "wb") as small:
            small.write(chunk[number:number + SMALL_SIZE])
    # Every peer reads the same tree as an unprivileged user.
    for folder, _, _ in os.walk(os.path.dirname(root)):
        os.chmod(folder, 0o755)
    warm_cache(os.path.join(root, "big.bin"))


def warm_cache(path):
    with open(path, "rb") as big:
        while big.read(1 << 24):
            pass


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# ---- a minimal FTP client ----------------------------------------------------------------------

class Session:
    def __init__(self, port, user, password):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buffer = b""
        self.expect(self.read_reply(), "220")
        reply = self.command("USER " + user)
        if reply.startswith("331"):
            reply = self.command("PASS " + password)
        self.expect(reply, "230")

    @staticmethod
    def expect(reply, code):
        if not reply.startswith(code):
            raise RuntimeError("expected %s, got %r" % (code, reply[:200]))
        return reply

    def read_line(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise RuntimeError("control connection closed")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.decode("utf-8", "replace") + "\n"

    def read_reply(self):
        reply = self.read_line()
        if reply[3:4] == "-":
            while True:
                line = self.read_line()
                reply += line
                if line.startswith(reply[:3] + " "):
                    break
        return reply

    def command(self, line):
        self.sock.sendall(line.encode("utf-8") + b"\r\n")
        return self.read_reply()

    def epsv_port(self):
        reply = self.expect(self.command("EPSV"), "229")
        return int(re.search(r"\|\|\|(\d+)\|", reply).group(1))

    def transfer(self, line):
        """One data transfer read in this process; returns the bytes received."""
        data = socket.create_connection(("127.0.0.1", self.epsv_port()), timeout=IO_TIMEOUT)
        self.sock.sendall(line.encode("utf-8") + b"\r\n")
        self.expect(self.read_reply(), "1")
        chunks = []
        while True:
            chunk = data.recv(1 << 20)
            if not chunk:
                break
            chunks.append(chunk)
        data.close()
        self.expect(self.read_reply(), "226")
        return b"".join(chunks)

    def transfer_drained(self, line, driver):
        """One data transfer read by the driver process; returns the byte count."""
        port = self.epsv_port()
        drain = subprocess.Popen([driver, "drain", "127.0.0.1", str(port)], stdout=subprocess.PIPE)
        self.sock.sendall(line.encode("utf-8") + b"\r\n")
        self.expect(self.read_reply(), "1")
        output, _ = drain.communicate(timeout=IO_TIMEOUT)
        self.expect(self.read_reply(), "226")
        return int(output)

    def close(self):
        self.sock.close()


# ---- the servers -------------------------------------------------------------------------------

class Peer:
    """A running FTP server: name, port, user, password, its main process id, and stop()."""

    def __init__(self, name, port, user, password, stop, pid, root):
        self.name, self.port, self.user, self.password, self._stop = name, port, user, password, stop
        self.pid, self.root, self.forks = pid, root, name in ("vsftpd", "pure-ftpd")

    def session(self):
        return Session(self.port, self.user, self.password)

    def stop(self):
        self._stop()


def wait_for_banner(port, process, timeout=20.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as probe:
                return probe.recv(4).startswith(b"220")
        except OSError:
            time.sleep(0.05)
    return False


def stop_process(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)


# Each server takes its passive ports from a range of its own, below the system's ephemeral ports.
PASSIVE_RANGES = {"swp-host": (10000, 15999), "vsftpd": (16000, 21999), "pure-ftpd": (22000, 27999),
                  "pyftpdlib": (28000, 32000)}


def start_swp(work, tree, build):
    first, last = PASSIVE_RANGES["swp-host"]
    server = Server(tree + "=" + ROOT, args=["--no-log", "--passive-ports", "%d-%d" % (first, last)],
                    start_timeout=300)
    return Peer("swp-host", server.port, "anonymous", "", lambda: server.__exit__(None, None, None), server.pid,
                "/" + ROOT)


def peer_program(name, build):
    """The installed program, or one unpacked from its Debian package into the build folder: the
    Debian packages of the two peers conflict, so at most one of them is installed at a time."""
    for candidate in (shutil.which(name), "/usr/sbin/" + name,
                      os.path.join(build, "bench-peers", name, "usr", "sbin", name)):
        if candidate and os.path.exists(candidate):
            return candidate
    if shutil.which("apt-get") is None or shutil.which("dpkg") is None:
        return None
    folder = os.path.join(build, "bench-peers", name)
    os.makedirs(folder, exist_ok=True)
    fetched = subprocess.run(["apt-get", "download", name], cwd=folder, capture_output=True)
    packages = [entry for entry in os.listdir(folder) if entry.endswith(".deb")]
    if fetched.returncode != 0 or not packages:
        return None
    subprocess.run(["dpkg", "-x", os.path.join(folder, packages[0]), folder], capture_output=True)
    program = os.path.join(folder, "usr", "sbin", name)
    return program if os.path.exists(program) else None


def anonymous_account():
    """vsftpd enters the anonymous account's home directory before anon_root, so that home must
    exist; "nobody" has none here."""
    for name in ("ftp", "daemon", "nobody"):
        try:
            if os.path.isdir(pwd.getpwnam(name).pw_dir):
                return name
        except KeyError:
            continue
    return "nobody"


def start_vsftpd(work, tree, build):
    program = peer_program("vsftpd", build)
    if program is None:
        return None
    port = free_port()
    empty = os.path.join(work, "vsftpd-empty")
    os.makedirs(empty, exist_ok=True)
    config = os.path.join(work, "vsftpd.conf")
    with open(config, "w") as out:
        out.write("\n".join([
            "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "listen_port=%d" % port,
            "background=NO", "anonymous_enable=YES", "no_anon_password=YES", "anon_root=" + tree,
            "ftp_username=" + anonymous_account(), "local_enable=NO", "write_enable=NO", "use_sendfile=YES",
            "secure_chroot_dir=" + empty, "seccomp_sandbox=NO", "isolate=NO", "isolate_network=NO",
            "xferlog_enable=NO", "dirmessage_enable=NO", "connect_from_port_20=NO", "pasv_enable=YES",
            "max_clients=0", "max_per_ip=0", "idle_session_timeout=600",
            "pasv_min_port=%d" % PASSIVE_RANGES["vsftpd"][0], "pasv_max_port=%d" % PASSIVE_RANGES["vsftpd"][1], ""]))
    process = subprocess.Popen([program, config], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    if not wait_for_banner(port, process):
        stop_process(process)
        return None
    return Peer("vsftpd", port, "anonymous", "x", lambda: stop_process(process), process.pid, "/")


def cheap_password_hash(password):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        import crypt
    return crypt.crypt(password, "$6$swpbench$")


def start_pure_ftpd(work, tree, build):
    program = peer_program("pure-ftpd", build)
    if program is None:
        return None
    pure_pw = shutil.which("pure-pw") or os.path.join(os.path.dirname(os.path.dirname(program)), "bin", "pure-pw")
    if not os.path.exists(pure_pw):
        return None
    passwd, pdb = os.path.join(work, "pure.passwd"), os.path.join(work, "pure.pdb")
    made = subprocess.run([pure_pw, "useradd", "bench", "-u", "nobody", "-g", "nogroup", "-d", tree,
                           "-f", passwd], input=b"benchpw\nbenchpw\n", capture_output=True)
    if made.returncode != 0:
        return None
    # pure-pw hashes with a deliberately slow function (seconds per login); a SHA-512 crypt hash
    # of the same password lets a thousand clients log in within the run.
    with open(passwd) as source:
        fields = source.read().strip().split(":")
    fields[1] = cheap_password_hash("benchpw")
    with open(passwd, "w") as out:
        out.write(":".join(fields) + "\n")
    if subprocess.run([pure_pw, "mkdb", pdb, "-f", passwd], capture_output=True).returncode != 0:
        return None
    port = free_port()
    process = subprocess.Popen([program, "-S", "127.0.0.1,%d" % port, "-l", "puredb:" + pdb, "-E", "-H", "-A",
                                "-c", "50000", "-C", "50000", "-L", "%d:8" % (LIST_ENTRIES * 2),
                                "-p", "%d:%d" % PASSIVE_RANGES["pure-ftpd"]],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_for_banner(port, process):
        stop_process(process)
        return None
    return Peer("pure-ftpd", port, "bench", "benchpw", lambda: stop_process(process), process.pid, "/")


PYFTPDLIB_SERVER = """
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
logging.basicConfig(level=logging.WARNING)
logging.getLogger("pyftpdlib").setLevel(logging.WARNING)
authorizer = DummyAuthorizer()
authorizer.add_anonymous(sys.argv[1])
FTPHandler.authorizer = authorizer
FTPHandler.passive_ports = range(int(sys.argv[3]), int(sys.argv[4]) + 1)
server = FTPServer(("127.0.0.1", int(sys.argv[2])), FTPHandler)
server.max_cons = 0
server.max_cons_per_ip = 0
server.serve_forever(handle_exit=True)
"""


def pyftpdlib_python():
    """A Python that has pyftpdlib: this one, else the system's (Debian's python3-pyftpdlib)."""
    for candidate in (sys.executable, "/usr/bin/python3"):
        if os.path.exists(candidate) and subprocess.run([candidate, "-c", "import pyftpdlib"],
                                                        capture_output=True).returncode == 0:
            return candidate
    return None


def start_pyftpdlib(work, tree, build):
    python = pyftpdlib_python()
    if python is None:
        return None
    port = free_port()
    first, last = PASSIVE_RANGES["pyftpdlib"]
    process = subprocess.Popen([python, "-c", PYFTPDLIB_SERVER, tree, str(port), str(first), str(last)],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_for_banner(port, process):
        stop_process(process)
        return None
    return Peer("pyftpdlib", port, "anonymous", "x", lambda: stop_process(process), process.pid, "/")


# ---- processor time of a server and its children -----------------------------------------------

def process_tree_seconds(pid):
    """Processor seconds of a process, its live descendants and the children it has reaped."""
    ticks = os.sysconf("SC_CLK_TCK")
    children, times = {}, {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        child = int(entry)
        children.setdefault(int(fields[1]), []).append(child)
        times[child] = sum(int(value) for value in fields[11:15])
    total, pending = 0, [pid]
    while pending:
        current = pending.pop()
        total += times.get(current, 0)
        pending += children.get(current, [])
    return total / ticks


def process_tree_ns(pid):
    """Nanoseconds that a process and its live descendants have run, to the scheduler's precision
    (/proc/*/task/*/schedstat), where process_tree_seconds counts whole clock ticks."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as stat:
                children.setdefault(int(stat.read().rsplit(")", 1)[1].split()[1]), []).append(int(entry))
        except OSError:
            continue
    total, pending = 0, [pid]
    while pending:
        current = pending.pop()
        pending += children.get(current, [])
        try:
            tasks = os.listdir("/proc/%d/task" % current)
        except OSError:
            continue
        for task in tasks:
            try:
                with open("/proc/%d/task/%s/schedstat" % (current, task)) as schedstat:
                    total += int(schedstat.read().split()[0])
            except (OSError, ValueError, IndexError):
                continue
    return total


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return None


# ---- the measurements --------------------------------------------------------------------------

def retr(peer, driver):
    """GB/s of one RETR of the big file, and the server's processor seconds per GiB sent. The
    processor time is read while the session is still open: a forking server's session process
    is counted while it lives (a child reaped without a wait would take its time with it)."""
    session = peer.session()
    session.command("TYPE I")
    cpu_before = process_tree_seconds(peer.pid)
    started = time.perf_counter()
    count = session.transfer_drained("RETR %s/big.bin" % peer.root.rstrip("/"), driver)
    elapsed = time.perf_counter() - started
    cpu = process_tree_seconds(peer.pid) - cpu_before
    session.close()
    if count != BIG_SIZE:
        raise RuntimeError("%s sent %d bytes of %d" % (peer.name, count, BIG_SIZE))
    return {"retr": BIG_SIZE / elapsed / 1e9, "retr_cpu": cpu / (BIG_SIZE / float(1 << 30))}


def reference_loop(mode, big, driver):
    """The copy loop (mode "copy") or the send loop ("send") of the driver, timed like a RETR."""
    copier = subprocess.Popen([driver, mode, big], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    port = copier.stdout.readline().strip().decode()
    started = time.perf_counter()
    drained = subprocess.run([driver, "drain", "127.0.0.1", port], capture_output=True, timeout=IO_TIMEOUT)
    elapsed = time.perf_counter() - started
    copier.stdout.close()
    copier.stderr.close()
    _, _, usage = os.wait4(copier.pid, 0)
    copier.returncode = 0
    if int(drained.stdout) != BIG_SIZE:
        raise RuntimeError("the %s loop sent %s bytes" % (mode, drained.stdout))
    return {"retr": BIG_SIZE / elapsed / 1e9,
            "retr_cpu": (usage.ru_utime + usage.ru_stime) / (BIG_SIZE / float(1 << 30))}


def listing(peer, command):
    session = peer.session()
    started = time.perf_counter()
    body = session.transfer("%s %s/list" % (command, peer.root.rstrip("/")))
    elapsed = time.perf_counter() - started
    session.close()
    lines = body.count(b"\n")
    if lines < LIST_ENTRIES:
        raise RuntimeError("%s %s gave %d lines" % (peer.name, command, lines))
    return {command.lower(): elapsed}


def small_files(peer):
    """The files fetched one after another with ftplib (passive mode, TYPE I before each)."""
    client = ftplib.FTP()
    client.connect("127.0.0.1", peer.port, timeout=IO_TIMEOUT)
    client.login(peer.user, peer.password)
    client.cwd("%s/small" % peer.root.rstrip("/"))
    received = [0]

    def count(chunk):
        received[0] += len(chunk)
    started = time.perf_counter()
    for number in range(SMALL_FILES):
        client.retrbinary("RETR s%04d.bin" % number, count)
    elapsed = time.perf_counter() - started
    client.quit()
    if received[0] != SMALL_FILES * SMALL_SIZE:
        raise RuntimeError("%s: %d bytes of small files" % (peer.name, received[0]))
    return {"small": elapsed}


def echo_floor(driver):
    """The NOOP round trip of this client against a bare blocking server that answers each line at
    once (swp_bench_transfer echo): the least any server can show through this client."""
    echo = subprocess.Popen([driver, "echo"], stdout=subprocess.PIPE)
    try:
        port = int(echo.stdout.readline())
        with socket.create_connection(("127.0.0.1", port), timeout=IO_TIMEOUT) as probe:
            probe.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            samples = []
            for _ in range(NOOP_SAMPLES):
                started = time.perf_counter()
                probe.sendall(b"NOOP\r\n")
                if not probe.recv(256).endswith(b"\n"):
                    raise RuntimeError("echo: short answer")
                samples.append(time.perf_counter() - started)
    finally:
        echo.stdout.close()
        echo.wait(timeout=IO_TIMEOUT)
    samples.sort()
    figures = {}
    for count in IDLE_CONNECTIONS:  # one floor for every row of round trips
        figures["noop50_%d" % count] = samples[len(samples) // 2] * 1e6
        figures["noop99_%d" % count] = samples[int(len(samples) * 0.99) - 1] * 1e3
    return figures


def held_clients(peer, count, idle_window=0.0):
    """The server's memory with `count` logged-in clients held, its processor time per second over
    `idle_window` seconds in which nothing is sent (ms/s; 0 for no window), and the NOOP round trip
    of one more (p50 in microseconds, p99 in milliseconds)."""
    held = []
    idle = None
    try:
        for _ in range(count):
            held.append(peer.session())
        if idle_window:
            before = process_tree_ns(peer.pid)
            time.sleep(idle_window)
            idle = (process_tree_ns(peer.pid) - before) / 1e6 / idle_window
        probe = peer.session()
        samples = []
        for _ in range(NOOP_SAMPLES):
            started = time.perf_counter()
            probe.expect(probe.command("NOOP"), "200")
            samples.append(time.perf_counter() - started)
        probe.close()
        memory = rss_mb(peer.pid) if not peer.forks else None
    finally:
        for session in held:
            session.close()
    samples.sort()
    figures = {"noop50_%d" % count: samples[len(samples) // 2] * 1e6,
               "noop99_%d" % count: samples[int(len(samples) * 0.99) - 1] * 1e3}
    if memory is not None:
        figures["rss_%d" % count] = memory
    if idle is not None:
        figures["idle_cpu_%d" % count] = idle
    return figures


# ---- the rows ----------------------------------------------------------------------------------

PEER_NAMES = ("vsftpd", "pure-ftpd", "pyftpdlib")
REFERENCE_LOOPS = ("copy loop", "send loop")


def rows_of(samples):
    """The rows of the one table, from {server: {figure: [values]}}."""
    def column(key):
        return {name: figures[key] for name, figures in samples.items() if figures.get(key)}
    rows = [
        bench_table.row("RETR of a 1 GiB cached file", "GB/s", "higher", column("retr"),
                        {"text": ">= best peer", "best": True}, expected=PEER_NAMES + REFERENCE_LOOPS,
                        note="copy loop: two threads handing one 64 KiB buffer through a condition variable; "
                             "send loop: one thread reading and sending through one 64 KiB buffer, the bound "
                             "of any download that copies through user memory (vsftpd and pyftpdlib send with "
                             "sendfile, which copies nothing)"),
        bench_table.row("server CPU per GiB of RETR", "s", "lower", column("retr_cpu"),
                        {"text": "<= pure-ftpd", "peer": "pure-ftpd", "factor": 1.0},
                        expected=PEER_NAMES + REFERENCE_LOOPS,
                        note="user and system time of the server and its children over the transfer"),
        bench_table.row("LIST of %s entries" % format(LIST_ENTRIES, ","), "s", "lower", column("list"),
                        {"text": "<= vsftpd / 5", "peer": "vsftpd", "factor": 0.2}, expected=PEER_NAMES),
        bench_table.row("MLSD of %s entries" % format(LIST_ENTRIES, ","), "s", "lower", column("mlsd"),
                        {"text": "<= vsftpd / 5", "peer": "vsftpd", "factor": 0.2}, expected=PEER_NAMES),
        bench_table.row("%s x 4 KiB RETR, one control connection (ftplib)" % format(SMALL_FILES, ","), "s", "lower",
                        column("small"), {"text": "<= pure-ftpd", "peer": "pure-ftpd", "factor": 1.0},
                        expected=PEER_NAMES),
    ]
    rows.append(bench_table.row("server CPU with %s clients held and nothing sent" % format(IDLE_CONNECTIONS[0], ","),
                                "ms/s", "lower", column("idle_cpu_%d" % IDLE_CONNECTIONS[0]),
                                {"text": "0", "limit": 0.0}, expected=PEER_NAMES,
                                note="processor time of the server and its children per second over %.0f s, "
                                     "to the scheduler's precision" % IDLE_WINDOW))
    for count in IDLE_CONNECTIONS:
        held = format(count, ",")
        note = None if count == IDLE_CONNECTIONS[0] else "the forking peers are not run with this many clients"
        peers = PEER_NAMES if count == IDLE_CONNECTIONS[0] else ("pyftpdlib",)
        rows += [
            bench_table.row("memory with %s idle clients" % held, "MB", "lower", column("rss_%d" % count),
                            {"text": "< 100 MB", "limit": 100} if count == IDLE_CONNECTIONS[0] else None,
                            note="the server process's resident memory; the forking peers hold one process per client"
                            if count == IDLE_CONNECTIONS[0] else None, expected=("pyftpdlib",)),
            bench_table.row("NOOP round trip, %s clients held: p50" % held, "us", "lower", column("noop50_%d" % count),
                            {"text": "<= best peer", "best": True},
                            note=note or "echo floor: the same client against a bare server answering each line",
                            expected=peers + ("echo floor",)),
            bench_table.row("NOOP round trip, %s clients held: p99" % held, "ms", "lower", column("noop99_%d" % count),
                            {"text": "< 1 ms", "limit": 1.0}, expected=peers + ("echo floor",)),
        ]
    return rows


# ---- the run -----------------------------------------------------------------------------------

def raise_descriptor_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = min(hard, max(IDLE_CONNECTIONS) + 1000)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def measure(samples, name, step):
    """Runs one measurement and files its figures; a failure is reported and leaves a gap."""
    started = time.monotonic()
    try:
        figures = step()
        for key, value in figures.items():
            samples.setdefault(name, {}).setdefault(key, []).append(value)
        print("  %s %s: %.1f s" % (name, ", ".join(figures), time.monotonic() - started), file=sys.stderr, flush=True)
    except (RuntimeError, OSError, ValueError, EOFError, ftplib.Error, subprocess.SubprocessError) as error:
        print("  %s: %s" % (name, error), file=sys.stderr, flush=True)


def run_rounds(servers, samples, runs, driver, big, deadline, descriptors):
    steps = [
        lambda peer: retr(peer, driver),
        lambda peer: listing(peer, "LIST"),
        lambda peer: listing(peer, "MLSD"),
        small_files,
        lambda peer: held_clients(peer, IDLE_CONNECTIONS[0], IDLE_WINDOW),
    ]
    for round_number in range(runs):
        if time.monotonic() > deadline:
            print("time limit reached after %d rounds" % round_number, file=sys.stderr)
            break
        print("round %d of %d (%.0f s)" % (round_number + 1, runs, time.monotonic() - deadline + TIME_LIMIT), file=sys.stderr, flush=True)
        measure(samples, "copy loop", lambda: reference_loop("copy", big, driver))
        measure(samples, "send loop", lambda: reference_loop("send", big, driver))
        measure(samples, "echo floor", lambda: echo_floor(driver))
        # Each round starts with another server, so that none always runs first or last.
        order = servers[round_number % len(servers):] + servers[:round_number % len(servers)]
        for step in steps:
            for peer in order:
                measure(samples, peer.name, lambda: step(peer))
        # This process holds one descriptor per client (the server raises its own limit).
        if round_number < MANY_CLIENT_ROUNDS and descriptors > max(IDLE_CONNECTIONS) + 100:
            for peer in order:
                if not peer.forks:
                    measure(samples, peer.name, lambda: held_clients(peer, IDLE_CONNECTIONS[1]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--chart", help="PNG path (default: BUILD/bench_transfer.png)")
    bench_table.add_arguments(parser)
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    runs = max(5, args.runs)
    os.environ["SWP_BUILD_DIR"] = args.build
    driver = os.path.join(args.build, "swp_bench_transfer")
    if not os.path.exists(driver):
        print("missing %s: build the project first" % driver, file=sys.stderr)
        return 1
    descriptors = raise_descriptor_limit()
    deadline = time.monotonic() + TIME_LIMIT
    work = tempfile.mkdtemp(prefix="swp-bench-transfer-")
    os.chmod(work, 0o755)
    servers = []
    try:
        tree = os.path.join(work, "tree", ROOT)
        print("generating the tree (1 GiB file, %d entries, %d small files)..." % (LIST_ENTRIES, SMALL_FILES),
              file=sys.stderr, flush=True)
        make_tree(tree)
        for start in (start_swp, start_vsftpd, start_pure_ftpd, start_pyftpdlib):
            peer = start(work, tree, args.build)
            if peer is None:
                print("%s: not installed or could not start; skipped" % start.__name__[6:], file=sys.stderr)
                continue
            servers.append(peer)
        samples = {}
        run_rounds(servers, samples, runs, driver, os.path.join(tree, "big.bin"), deadline, descriptors)
        bench_table.finish(rows_of(samples), args,
                           os.path.abspath(args.chart or os.path.join(args.build, "bench_transfer.png")))
        return 0
    finally:
        for peer in servers:
            peer.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
