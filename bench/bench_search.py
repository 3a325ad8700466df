#!/usr/bin/env python3
"""The SORRELWICK query verb against swp-host on a generated tree of 1,000,000 entries, one client
over loopback, beside plocate on its own database of the same tree: a rare term with a window of
100, a reply of 450,000 results with the path column (a new search each time), the unchanged
re-send of those results and of a window of 100; and swp-host's time to listening and memory on
that tree. swp-host and plocate are measured in turn in every round. Rows go to the one table of
bench/bench_table.py."""

import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import bench_table  # noqa: E402

FOLDERS = 1000
FILES_PER_FOLDER = 999          # 1,000 folders + 999,000 files = 1,000,000 entries below the root
COMMON_IN_20 = 9                # 9 files in 20 carry the common term; a folder of
COMMON_RESULTS = 450000         # extra files brings them to exactly this many
RARE_TERMS = ("qzxrare", "qzyrare")
RARE_PER_TERM = 20
COMMON_TERM = "kommon"
COMMON_TERMS = (COMMON_TERM, "_kommon")  # the same results, alternated so that each query searches
WORDS = ("apple", "birch", "cedar", "delta", "ember", "fjord", "grove", "heron", "iris", "juniper")
TIME_LIMIT = 1500.0             # seconds for the whole run, tree generation included
START_ROUNDS = 3                # swp-host starts on the tree: time to listening, memory


def generate_tree(root):
    """Empty files with names that hold the terms at known counts; returns the entry count."""
    os.makedirs(root)
    rare_slots = {}
    for term_number, term in enumerate(RARE_TERMS):
        for k in range(RARE_PER_TERM):
            rare_slots[(k * 97 + term_number * 13) % FOLDERS, (k * 31 + term_number) % FILES_PER_FOLDER] = term
    entries = 0
    commons = 0
    for folder in range(FOLDERS):
        folder_path = os.path.join(root, "d%04d_%s" % (folder, WORDS[folder % len(WORDS)]))
        os.mkdir(folder_path)
        entries += 1
        for number in range(FILES_PER_FOLDER):
            serial = folder * FILES_PER_FOLDER + number
            word = WORDS[(serial * 7) % len(WORDS)]
            tag = rare_slots.get((folder, number), COMMON_TERM if serial % 20 < COMMON_IN_20 else "x")
            name = "%s_%s_%07d.dat" % (word, tag, serial)
            commons += tag == COMMON_TERM
            os.close(os.open(os.path.join(folder_path, name), os.O_CREAT | os.O_WRONLY, 0o644))
            entries += 1
    extra = os.path.join(root, "extra")
    os.mkdir(extra)
    entries += 1
    for number in range(COMMON_RESULTS - commons):
        os.close(os.open(os.path.join(extra, "e_%s_%03d.dat" % (COMMON_TERM, number)), os.O_CREAT | os.O_WRONLY))
        entries += 1
    return entries


class Client:
    """A control connection that reads whole results replies quickly (the reply ends at the first
    line that begins "200 ", every result line beginning with a blank)."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=60)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.pending = b""
        self.reply()
        self.command("USER anonymous")
        if not self.last.startswith(b"230"):
            self.command("PASS ")

    def reply(self):
        data = bytearray(self.pending)
        scanned = 0
        while True:
            end = self._reply_end(data, scanned)
            if end >= 0:
                self.pending = bytes(data[end:])
                self.last = bytes(data[:end])
                return self.last
            scanned = max(0, len(data) - 8)
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise EOFError("connection closed")
            data += chunk

    @staticmethod
    def _reply_end(data, scanned):
        """The length of the first whole reply in data, or -1; data[:scanned] holds no closing."""
        first_end = data.find(b"\n")
        if first_end < 0:
            return -1
        if data[3:4] != b"-":
            return first_end + 1
        closing = b"\n" + bytes(data[:3]) + b" "
        at = data.find(closing, max(first_end, scanned))
        if at < 0:
            return -1
        line_end = data.find(b"\n", at + 1)
        return -1 if line_end < 0 else line_end + 1

    def command(self, line):
        self.sock.sendall(line.encode() + b"\r\n")
        return self.reply()

    def option(self, word, value):
        reply = self.command("SORRELWICK %s %s" % (word, value))
        if not reply.startswith(b"200 "):
            raise RuntimeError("SORRELWICK %s %s: %r" % (word, value, reply))

    def timed_query(self):
        start = time.perf_counter()
        reply = self.command("SORRELWICK query")
        elapsed = time.perf_counter() - start
        if not reply.startswith(b"200-Query results\r\n"):
            raise RuntimeError("not a results reply: %r" % reply[:200])
        return elapsed, reply

    def close(self):
        self.sock.close()


def result_count(reply):
    start = reply.index(b" RESULT_COUNT ") + len(b" RESULT_COUNT ")
    return int(reply[start:reply.index(b"\r\n", start)])


def rare_term_ms(client, round_number):
    """A new search for a rare term, a window of 100, no path column: from the line sent to the end."""
    client.option("count", 100)
    client.option("path_column", 0)
    client.option("search", RARE_TERMS[round_number % 2])
    elapsed, reply = client.timed_query()
    if result_count(reply) != RARE_PER_TERM:
        raise RuntimeError("rare term: %d results, expected %d" % (result_count(reply), RARE_PER_TERM))
    return elapsed * 1000.0


def many_results_seconds(client, round_number):
    """A new search with every result sent with its path, then the unchanged re-send (lines/s)."""
    client.option("count", 4294967295)
    client.option("path_column", 1)
    client.option("search", COMMON_TERMS[round_number % 2])
    searched, reply = client.timed_query()
    if result_count(reply) != COMMON_RESULTS:
        raise RuntimeError("common term: %d results, expected %d" % (result_count(reply), COMMON_RESULTS))
    resent, reply = client.timed_query()
    return searched, reply.count(b"\n") / resent


def window_ms(client):
    client.option("count", 100)
    client.timed_query()
    elapsed, reply = client.timed_query()
    if reply.count(b"\n") != 203:
        raise RuntimeError("window of 100: %d lines" % reply.count(b"\n"))
    return elapsed * 1000.0


def plocate_database(tree, work):
    if not shutil.which("plocate") or not shutil.which("updatedb"):
        return None
    database = os.path.join(work, "plocate.db")
    subprocess.run(["updatedb", "-l", "0", "-U", tree, "-o", database], check=True, timeout=900)
    return database


def plocate_seconds(database, term, expected):
    """One plocate query printing every path to a pipe, timed from start to exit."""
    started = time.perf_counter()
    found = subprocess.run(["plocate", "-d", database, term], capture_output=True, timeout=300).stdout
    elapsed = time.perf_counter() - started
    if found.count(b"\n") != expected:
        raise RuntimeError("plocate %s: %d paths, expected %d" % (term, found.count(b"\n"), expected))
    return elapsed


def status_kib(pid, field):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def find_seconds(tree):
    started = time.perf_counter()
    subprocess.run(["find", tree, "-printf", "%s %T@ %p\n"], stdout=subprocess.DEVNULL, check=True, timeout=900)
    return time.perf_counter() - started


def scratch_folder():
    """A memory-backed folder when there is one: a million files on a disk take minutes to make."""
    for candidate in (os.environ.get("SWP_BENCH_TMP"), "/dev/shm"):
        if candidate and os.path.isdir(candidate) and os.access(candidate, os.W_OK):
            return tempfile.mkdtemp(prefix="swp-bench-search-", dir=candidate)
    return tempfile.mkdtemp(prefix="swp-bench-search-")


def add(samples, name, key, value):
    samples.setdefault(name, {}).setdefault(key, []).append(value)


def timed_starts(swp_harness, tree, entries, samples, deadline):
    """swp-host started on the tree (warm): seconds to its listening line, memory per entry, beside find."""
    for _ in range(START_ROUNDS):
        if time.monotonic() > deadline:
            break
        add(samples, "find", "listening", find_seconds(tree))
        started = time.perf_counter()
        with swp_harness.Server(tree + "=bench", args=["--no-log"], start_timeout=600) as server:
            add(samples, bench_table.SWP, "listening", time.perf_counter() - started)
            add(samples, bench_table.SWP, "memory", status_kib(server.pid, "VmRSS") * 1024.0 / entries)
            add(samples, bench_table.SWP, "peak", status_kib(server.pid, "VmHWM") * 1024.0 / entries)


def query_rounds(client, database, rounds, samples, deadline):
    for round_number in range(rounds):
        if time.monotonic() > deadline:
            print("time limit reached after %d rounds" % round_number, file=sys.stderr)
            break
        add(samples, bench_table.SWP, "rare", rare_term_ms(client, round_number))
        searched, rate = many_results_seconds(client, round_number)
        add(samples, bench_table.SWP, "many", searched)
        add(samples, bench_table.SWP, "resend", rate)
        add(samples, bench_table.SWP, "window", window_ms(client))
        if database:
            add(samples, "plocate", "rare", plocate_seconds(database, RARE_TERMS[round_number % 2], RARE_PER_TERM) * 1e3)
            add(samples, "plocate", "many", plocate_seconds(database, COMMON_TERM, COMMON_RESULTS))


def rows_of(samples, entries):
    def column(key):
        return {name: figures[key] for name, figures in samples.items() if figures.get(key)}
    million = format(entries, ",")
    return [
        bench_table.row("time to listening on %s entries, warm" % million, "s", "lower", column("listening"),
                        {"text": "<= 0.8 x find", "peer": "find", "factor": 0.8},
                        note="find -printf of the same tree is the reference (index rows: the live-index work)",
                        expected=("find",)),
        bench_table.row("memory after indexing %s entries" % million, "B/entry", "lower", column("memory"),
                        {"text": "<= 120 B/entry", "limit": 120}),
        bench_table.row("peak memory while indexing %s entries" % million, "B/entry", "lower", column("peak"),
                        {"text": "<= 180 B/entry (1.5 x 120)", "limit": 180}),
        bench_table.row("search, rare term, %s names (window of 100)" % million, "ms", "lower", column("rare"),
                        {"text": "<= plocate", "peer": "plocate", "factor": 1.0},
                        note="swp-host: query line sent to \"200 End.\" over FTP; plocate: process start to exit",
                        expected=("plocate",)),
        bench_table.row("search with %s results, all sent with the path column" % format(COMMON_RESULTS, ","), "s",
                        "lower", column("many"), {"text": "<= plocate", "peer": "plocate", "factor": 1.0},
                        note="a new search each round, the reply read whole; plocate prints every path to a pipe",
                        expected=("plocate",)),
        bench_table.row("unchanged re-send of %s results with paths" % format(COMMON_RESULTS, ","), "lines/s",
                        "higher", column("resend"), {"text": ">= 1,000,000 lines/s", "limit": 1e6}),
        bench_table.row("unchanged re-send, window of 100", "ms", "lower", column("window"),
                        {"text": "< 2 ms", "limit": 2.0}),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--rounds", type=int, default=11)
    bench_table.add_arguments(parser)
    args = parser.parse_args()
    os.environ["SWP_BUILD_DIR"] = os.path.abspath(args.build)
    import swp_harness  # reads SWP_BUILD_DIR when imported

    deadline = time.monotonic() + TIME_LIMIT
    samples = {}
    home = scratch_folder()
    try:
        started = time.monotonic()
        tree = os.path.join(home, "tree")
        entries = generate_tree(tree)
        print("tree: %d entries below the root, generated in %.1f s" % (entries, time.monotonic() - started),
              file=sys.stderr, flush=True)
        database = plocate_database(tree, home)
        if database is None:
            print("plocate: not installed; skipped", file=sys.stderr)
        timed_starts(swp_harness, tree, entries, samples, deadline)
        with swp_harness.Server(tree + "=bench", args=["--no-log"], start_timeout=600) as server:
            client = Client(server.port)
            try:
                query_rounds(client, database, args.rounds, samples, deadline)
            finally:
                client.close()
        rows = rows_of(samples, entries)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    bench_table.finish(rows, args, os.path.abspath(os.path.join(args.build, "bench_search.png")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
