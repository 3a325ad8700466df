#!/usr/bin/env python3
"""Transfers and listings of swp-host on loopback, side by side with the peers that are installed
(vsftpd, pure-ftpd; each started here on a high loopback port with a temporary configuration):

- RETR of a 1 GiB cached file, beside a bare two-thread copy loop that hands one 64 KiB buffer
  between a reader and a sender (swp_bench_transfer copy), the ceiling of a one-buffer download;
- LIST and MLSD of a folder of 100,000 entries;
- 1,000 files of 4 KiB fetched one after another over one control connection;
- 1,000 idle logged-in connections to swp-host: its memory, and the NOOP round trip of one more
  client while they are held.

Every figure is the median of --runs runs (at least 5). Prints a Markdown table with the ratios
and, when gnuplot is installed, draws the RETR and LIST figures as a PNG bar chart."""

import argparse
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

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from swp_harness import Server  # noqa: E402

BIG_SIZE = 1 << 30
LIST_ENTRIES = 100000
SMALL_FILES = 1000
SMALL_SIZE = 4096
IDLE_CONNECTIONS = 1000
NOOP_SAMPLES = 1000
TIME_LIMIT = 1500.0   # seconds for the whole run, tree generation included
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
    """A running FTP server: name, port, user, password, and stop()."""

    def __init__(self, name, port, user, password, stop):
        self.name, self.port, self.user, self.password, self._stop = name, port, user, password, stop

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


def start_swp(build, tree):
    server = Server(tree, args=["--no-log"], start_timeout=300)
    return Peer("swp-host", server.port, "anonymous", "", lambda: server.__exit__(None, None, None)), server


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
            "max_clients=0", "max_per_ip=0", "idle_session_timeout=600", ""]))
    process = subprocess.Popen([program, config], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    if not wait_for_banner(port, process):
        stop_process(process)
        return None
    return Peer("vsftpd", port, "anonymous", "x", lambda: stop_process(process))


def start_pure_ftpd(work, tree, build):
    program = peer_program("pure-ftpd", build)
    if program is None:
        return None
    pure_pw = shutil.which("pure-pw") or os.path.join(os.path.dirname(os.path.dirname(program)), "bin", "pure-pw")
    if not os.path.exists(pure_pw):
        return None
    passwd, pdb = os.path.join(work, "pure.passwd"), os.path.join(work, "pure.pdb")
    made = subprocess.run([pure_pw, "useradd", "bench", "-u", "nobody", "-g", "nogroup", "-d", tree,
                           "-f", passwd, "-m", "-F", pdb], input=b"benchpw\nbenchpw\n", capture_output=True)
    if made.returncode != 0:
        return None
    port = free_port()
    process = subprocess.Popen([program, "-S", "127.0.0.1,%d" % port, "-l", "puredb:" + pdb, "-E", "-H", "-A",
                                "-c", "50", "-C", "50", "-L", "%d:8" % (LIST_ENTRIES * 2)],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if not wait_for_banner(port, process):
        stop_process(process)
        return None
    return Peer("pure-ftpd", port, "bench", "benchpw", lambda: stop_process(process))


# ---- the measurements --------------------------------------------------------------------------

def median_of(runs, measure):
    return statistics.median(measure() for _ in range(runs))


def retr_rate(peer, path, driver):
    session = peer.session()
    session.command("TYPE I")
    started = time.perf_counter()
    count = session.transfer_drained("RETR " + path, driver)
    elapsed = time.perf_counter() - started
    session.close()
    if count != BIG_SIZE:
        raise RuntimeError("%s sent %d bytes of %d" % (peer.name, count, BIG_SIZE))
    return BIG_SIZE / elapsed / 1e9


def copy_loop_rate(big, driver):
    copier = subprocess.Popen([driver, "copy", big], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    port = copier.stdout.readline().strip().decode()
    started = time.perf_counter()
    drained = subprocess.run([driver, "drain", "127.0.0.1", port], capture_output=True, timeout=IO_TIMEOUT)
    elapsed = time.perf_counter() - started
    copier.communicate(timeout=IO_TIMEOUT)
    if int(drained.stdout) != BIG_SIZE:
        raise RuntimeError("the copy loop sent %s bytes" % drained.stdout)
    return BIG_SIZE / elapsed / 1e9


def listing_seconds(peer, command, folder):
    session = peer.session()
    started = time.perf_counter()
    body = session.transfer("%s %s" % (command, folder))
    elapsed = time.perf_counter() - started
    session.close()
    lines = body.count(b"\n")
    if lines < LIST_ENTRIES:
        raise RuntimeError("%s %s gave %d lines" % (peer.name, command, lines))
    return elapsed


def small_files_seconds(peer, folder):
    session = peer.session()
    session.command("TYPE I")
    session.expect(session.command("CWD " + folder), "250")
    started = time.perf_counter()
    for number in range(SMALL_FILES):
        if len(session.transfer("RETR s%04d.bin" % number)) != SMALL_SIZE:
            raise RuntimeError("%s: short small file" % peer.name)
    elapsed = time.perf_counter() - started
    session.close()
    return elapsed


def idle_connections(peer, server):
    """Memory with IDLE_CONNECTIONS logged-in clients held, and NOOP p99 of one more (ms)."""
    held = []
    try:
        for _ in range(IDLE_CONNECTIONS):
            held.append(peer.session())
        probe = peer.session()
        samples = []
        for _ in range(NOOP_SAMPLES):
            started = time.perf_counter()
            probe.expect(probe.command("NOOP"), "200")
            samples.append((time.perf_counter() - started) * 1000)
        probe.close()
        rss = server.rss_bytes() / 1e6
    finally:
        for session in held:
            session.close()
    samples.sort()
    return rss, samples[int(len(samples) * 0.99) - 1]


# ---- output ------------------------------------------------------------------------------------

def figure(value, digits=2):
    return "n/a" if value is None else ("%.*f" % (digits, value))


def ratio(a, b):
    return "n/a" if a is None or b is None or b == 0 else "%.2f" % (a / b)


def print_table(results, runs):
    swp = results["swp-host"]
    print("Median of %d runs; loopback; GB/s = 10^9 bytes per second.\n" % runs)
    print("| figure | swp-host | copy loop | vsftpd | pure-ftpd | ratio | target |")
    print("|---|---|---|---|---|---|---|")
    peers = [results.get("vsftpd", {}), results.get("pure-ftpd", {})]
    print("| RETR 1 GiB (GB/s) | %s | %s | %s | %s | swp/loop %s, swp/vsftpd %s | >= 0.9, >= 0.5 |" % (
        figure(swp.get("retr")), figure(results["loop"]), figure(peers[0].get("retr")), figure(peers[1].get("retr")),
        ratio(swp.get("retr"), results["loop"]), ratio(swp.get("retr"), peers[0].get("retr"))))
    for key, label in (("list", "LIST"), ("mlsd", "MLSD")):
        print("| %s of %d entries (s) | %s | | %s | %s | vsftpd/swp %s, pure-ftpd/swp %s | vsftpd/swp >= 5 |" % (
            label, LIST_ENTRIES, figure(swp.get(key), 3), figure(peers[0].get(key), 3),
            figure(peers[1].get(key), 3), ratio(peers[0].get(key), swp.get(key)),
            ratio(peers[1].get(key), swp.get(key))))
    print("| %d files of 4 KiB (s) | %s | | %s | %s | pure-ftpd/swp %s | >= 1 |" % (
        SMALL_FILES, figure(swp.get("small"), 3), figure(peers[0].get("small"), 3), figure(peers[1].get("small"), 3),
        ratio(peers[1].get("small"), swp.get("small"))))
    print("| %d idle clients: memory (MB) | %s | | | | | < 100 |" % (IDLE_CONNECTIONS, figure(swp.get("rss"), 1)))
    print("| %d idle clients: NOOP p99 (ms) | %s | | | | | < 1 |" % (IDLE_CONNECTIONS, figure(swp.get("noop"), 3)))


def draw_chart(results, path):
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        print("\n(gnuplot is not installed: no chart)")
        return
    names = ["swp-host", "copy loop", "vsftpd", "pure-ftpd"]
    retr = [results.get(n, {}).get("retr") if n != "copy loop" else results["loop"] for n in names]
    listing = [(n, results.get(n, {}).get("list"), results.get(n, {}).get("mlsd")) for n in names if n != "copy loop"]
    data = path + ".dat"
    with open(data, "w") as out:
        out.write("# RETR GB/s\n")
        for name, value in zip(names, retr):
            out.write('"%s" %s\n' % (name, value if value is not None else 0))
        out.write("\n\n# LIST s, MLSD s\n")
        for name, list_value, mlsd_value in listing:
            out.write('"%s" %s %s\n' % (name, list_value or 0, mlsd_value or 0))
    script = "\n".join([
        "set terminal pngcairo size 1100,450" if "pngcairo" in terminals(gnuplot) else "set terminal png size 1100,450",
        "set output '%s'" % path,
        "set multiplot layout 1,2",
        "set style fill solid 0.8 border -1", "set boxwidth 0.6", "set grid ytics", "set yrange [0:*]",
        "set title 'RETR of a 1 GiB cached file (GB/s, higher is better)'",
        "plot '%s' index 0 using 0:2:xtic(1) with boxes notitle" % data,
        "set style data histograms", "set style histogram clustered gap 1", "set boxwidth 0.9",
        "set title 'Listing of %d entries (s, lower is better)'" % LIST_ENTRIES,
        "plot '%s' index 1 using 2:xtic(1) title 'LIST', '' index 1 using 3 title 'MLSD'" % data,
        "unset multiplot", ""])
    result = subprocess.run([gnuplot], input=script.encode(), capture_output=True)
    if result.returncode == 0:
        print("\nChart: %s" % path)
    else:
        print("\n(gnuplot failed: %s)" % result.stderr.decode(errors="replace").strip())


def terminals(gnuplot):
    listed = subprocess.run([gnuplot, "-e", "set terminal"], capture_output=True)
    return (listed.stdout + listed.stderr).decode(errors="replace")


# ---- the run -----------------------------------------------------------------------------------

def raise_descriptor_limit():
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = min(hard, IDLE_CONNECTIONS * 2 + 200)
    if soft < wanted:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


def measure_peer(peer, results, runs, driver, deadline, server=None):
    figures = results.setdefault(peer.name, {})
    steps = [
        ("retr", lambda: retr_rate(peer, "/%s/big.bin" % root_of(peer), driver)),
        ("list", lambda: listing_seconds(peer, "LIST", "/%s/list" % root_of(peer))),
        ("mlsd", lambda: listing_seconds(peer, "MLSD", "/%s/list" % root_of(peer))),
        ("small", lambda: small_files_seconds(peer, "/%s/small" % root_of(peer))),
    ]
    for key, measure in steps:
        if time.monotonic() > deadline:
            print("time limit reached: %s %s skipped" % (peer.name, key), file=sys.stderr)
            continue
        try:
            figures[key] = median_of(runs, measure)
        except (RuntimeError, OSError, ValueError, subprocess.SubprocessError) as error:
            print("%s %s: %s" % (peer.name, key, error), file=sys.stderr)
    if server is not None and time.monotonic() < deadline:
        rss, noop = idle_connections(peer, server)
        figures["rss"], figures["noop"] = rss, noop


def root_of(peer):
    # swp-host shows the served folder as one top-level entry; the peers serve it as their root.
    return ROOT if peer.name == "swp-host" else "."


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--chart", help="PNG path (default: BUILD/bench_transfer.png)")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    runs = max(5, args.runs)
    os.environ["SWP_BUILD_DIR"] = args.build
    driver = os.path.join(args.build, "swp_bench_transfer")
    if not os.path.exists(driver):
        print("missing %s: build the project first" % driver, file=sys.stderr)
        return 1
    raise_descriptor_limit()
    deadline = time.monotonic() + TIME_LIMIT
    work = tempfile.mkdtemp(prefix="swp-bench-transfer-")
    os.chmod(work, 0o755)
    peers = []
    try:
        tree = os.path.join(work, "tree", ROOT)
        print("generating the tree (1 GiB file, %d entries, %d small files)..." % (LIST_ENTRIES, SMALL_FILES),
              file=sys.stderr, flush=True)
        make_tree(tree)
        results = {"loop": median_of(runs, lambda: copy_loop_rate(os.path.join(tree, "big.bin"), driver))}

        swp, server = start_swp(args.build, tree + "=" + ROOT)
        peers.append(swp)
        measure_peer(swp, results, runs, driver, deadline, server)
        swp.stop()
        peers.remove(swp)

        for start in (start_vsftpd, start_pure_ftpd):
            peer = start(work, tree, args.build)
            if peer is None:
                print("%s: not installed or could not start; skipped" % start.__name__[6:], file=sys.stderr)
                continue
            peers.append(peer)
            measure_peer(peer, results, runs, driver, deadline)
            peer.stop()
            peers.remove(peer)

        print_table(results, runs)
        draw_chart(results, os.path.abspath(args.chart or os.path.join(args.build, "bench_transfer.png")))
        return 0
    finally:
        for peer in peers:
            peer.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
