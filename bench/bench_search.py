#!/usr/bin/env python3
"""The SORRELWICK query verb against swp-host on a generated tree of 1,000,000 entries, one client
over loopback: a rare term with a window of 100, a reply of 100,000 results with the path column,
and the unchanged re-send of a window of 100. Prints a Markdown table."""

import argparse
import os
import shutil
import socket
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

FOLDERS = 1000
FILES_PER_FOLDER = 999          # 1,000 folders + 999,000 files = 1,000,000 entries below the root
COMMON_EVERY = 10               # about one file in ten carries the common term; a folder of
COMMON_RESULTS = 100000         # extra files brings them to exactly this many
RARE_TERMS = ("qzxrare", "qzyrare")
RARE_PER_TERM = 20
COMMON_TERM = "kommon"
WORDS = ("apple", "birch", "cedar", "delta", "ember", "fjord", "grove", "heron", "iris", "juniper")
TIME_LIMIT = 900.0              # seconds for the whole run, tree generation included


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
            tag = rare_slots.get((folder, number), COMMON_TERM if serial % COMMON_EVERY == 0 else "x")
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


def median_ms(samples):
    return statistics.median(samples) * 1000.0


def bench_rare_term(client, rounds, deadline):
    """Each round is a new search: the text alternates between two rare terms."""
    client.option("count", 100)
    client.option("path_column", 0)
    samples = []
    for round_number in range(rounds):
        if time.monotonic() > deadline:
            break
        client.option("search", RARE_TERMS[round_number % 2])
        elapsed, reply = client.timed_query()
        if result_count(reply) != RARE_PER_TERM:
            raise RuntimeError("rare term: %d results, expected %d" % (result_count(reply), RARE_PER_TERM))
        samples.append(elapsed)
    return samples


def bench_many_results(client, rounds, deadline):
    """The first query searches; the rest re-send the same 100,000 results unchanged."""
    client.option("count", 4294967295)
    client.option("path_column", 1)
    client.option("search", COMMON_TERM)
    searched = None
    rates = []
    for round_number in range(rounds):
        if time.monotonic() > deadline:
            break
        elapsed, reply = client.timed_query()
        total = result_count(reply)
        if total != COMMON_RESULTS:
            raise RuntimeError("common term: %d results, expected %d" % (total, COMMON_RESULTS))
        lines = reply.count(b"\n")
        if round_number == 0:
            searched = lines / elapsed
        else:
            rates.append(lines / elapsed)
    return searched, rates


def bench_unchanged_window(client, rounds, deadline):
    client.option("path_column", 1)
    client.option("search", COMMON_TERM)
    client.option("count", 100)
    client.timed_query()
    samples = []
    for _ in range(rounds):
        if time.monotonic() > deadline:
            break
        elapsed, reply = client.timed_query()
        if reply.count(b"\n") != 203:
            raise RuntimeError("window of 100: %d lines" % reply.count(b"\n"))
        samples.append(elapsed)
    return samples


def scratch_folder():
    """A memory-backed folder when there is one: a million files on a disk take minutes to make."""
    for candidate in (os.environ.get("SWP_BENCH_TMP"), "/dev/shm"):
        if candidate and os.path.isdir(candidate) and os.access(candidate, os.W_OK):
            return tempfile.mkdtemp(prefix="swp-bench-search-", dir=candidate)
    return tempfile.mkdtemp(prefix="swp-bench-search-")


def row(what, target, value, passed):
    return "| %s | %s | %s | %s |" % (what, target, value, "yes" if passed else "**no**")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--rounds", type=int, default=41)
    args = parser.parse_args()
    os.environ["SWP_BUILD_DIR"] = os.path.abspath(args.build)
    import swp_harness  # reads SWP_BUILD_DIR when imported

    deadline = time.monotonic() + TIME_LIMIT

    home = scratch_folder()
    try:
        started = time.monotonic()
        tree = os.path.join(home, "tree")
        entries = generate_tree(tree)
        generated = time.monotonic() - started
        with swp_harness.Server(tree + "=bench", args=["--no-log"], start_timeout=600) as server:
            client = Client(server.port)
            try:
                rare = bench_rare_term(client, args.rounds, deadline)
                searched_rate, rates = bench_many_results(client, max(3, args.rounds // 8), deadline)
                window = bench_unchanged_window(client, args.rounds * 2, deadline)
            finally:
                client.close()
    finally:
        shutil.rmtree(home, ignore_errors=True)

    print("Tree: %d entries below the root, generated in %.1f s; %d rounds per figure (medians)."
          % (entries, generated, args.rounds))
    print()
    print("| measurement | target | result | met |")
    print("|---|---|---|---|")
    rare_ms = median_ms(rare)
    print(row("rare term, new search, count 100: line sent to \"200 End.\"", "< 25 ms", "%.2f ms" % rare_ms,
              rare_ms < 25.0))
    rate = statistics.median(rates) if rates else 0.0
    print(row("100,000 results with PATH, unchanged re-send", ">= 1,000,000 lines/s", "%.0f lines/s" % rate,
              rate >= 1e6))
    print(row("100,000 results with PATH, new search included", "(for reference)",
              "%.0f lines/s" % (searched_rate or 0.0), True))
    window_ms = median_ms(window)
    print(row("unchanged re-send, window of 100", "< 2 ms", "%.3f ms" % window_ms, window_ms < 2.0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
