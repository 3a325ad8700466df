#!/usr/bin/env python3
"""Benchmark of the live index on a synthetic tree of 1,000,000 entries in 100,000 folders (the tree
of bench_index.py): how soon a change shows in SIZE and in a search, single changes and a burst of
100,000 creations; search and listing times with 100,000 changes applied, beside a fresh index of
the same tree; memory per entry; and the time to listening from the saved index, beside a full
scan and `find`.

Prints one Markdown table with each goal and whether it is met. The tree is made under a temporary
folder and removed at the end (`--tree DIR` uses an existing one, made by bench_index.py --make-tree,
and takes out again what it adds). Only loopback is used; every loop is bounded in count and time."""
import argparse
import os
import pathlib
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
from bench_index import make_tree  # noqa: E402
from swp_harness import Control, read_to_end  # noqa: E402
import bench_table  # noqa: E402

SINGLE_CHANGES = int(os.environ.get("SWP_BENCH_SINGLE", 1000))
BURST = int(os.environ.get("SWP_BENCH_BURST", 100_000))
RUNS = 7
DEADLINE = float(os.environ.get("SWP_BENCH_DEADLINE", 300))  # seconds for any one wait
RARE, HALF = "zanzibar", "report"
REGEX = r"^report_(alpha|beta)_\d+[02468]\.txt$"


def wait_for(predicate, timeout=DEADLINE, interval=0.0005):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise RuntimeError("timed out")


class Host:
    """swp-host on the tree, its console lines timed from its start."""

    def __init__(self, build, tree, home, args):
        env = dict(os.environ, XDG_CONFIG_HOME=home + "/config", XDG_STATE_HOME=home + "/state",
                   XDG_CACHE_HOME=home + "/cache")
        command = [str(build / "swp-host"), "--settings", home + "/settings.ini", "--port", "0", "--bind",
                   "127.0.0.1", "--no-log", "--index", str(tree) + "=tree"] + args
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, env=env)
        self.lines = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in iter(self.process.stderr.readline, b""):
            with self.lock:
                self.lines.append((time.monotonic() - self.started, raw.decode("utf-8", "replace")))

    def seconds_until(self, pattern):
        """Seconds from the start to the first line that matches, waiting for it."""
        def found():
            with self.lock:
                for at, line in self.lines:
                    if re.search(pattern, line):
                        return at, line
            if self.process.poll() is not None:
                raise RuntimeError("swp-host ended:\n" + "".join(line for _, line in self.lines))
            return None
        try:
            return wait_for(found, interval=0.005)
        except RuntimeError:
            raise RuntimeError("no line matches %r:\n%s" % (pattern, "".join(line for _, line in self.lines)))

    @property
    def port(self):
        return int(self.seconds_until(r"listening on 127\.0\.0\.1:\d+")[1].rsplit(":", 1)[1])

    def folds(self):
        with self.lock:
            return [line.strip() for _, line in self.lines if "swp-host: folded" in line]

    def memory(self):
        """(resident, peak) bytes, once the resident size has stopped shrinking (the heap is given
        back after the scan)."""
        def read():
            with open("/proc/%d/status" % self.process.pid) as status:
                fields = dict(line.split(":", 1) for line in status)
            return int(fields["VmRSS"].split()[0]) * 1024, int(fields["VmHWM"].split()[0]) * 1024
        last = read()
        for _ in range(40):  # at most four seconds
            time.sleep(0.1)
            now = read()
            if now[0] >= last[0]:
                return now
            last = now
        return last

    def stop(self):
        began = time.monotonic()
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=DEADLINE)
        self.reader.join(timeout=10)
        return time.monotonic() - began


class Client(Control):
    def __init__(self, port):
        super().__init__(port, timeout=DEADLINE)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.login()
        self.searches = 0
        self.command("SORRELWICK count 10")

    def size(self, path):
        reply = self.command("SIZE " + path)
        return int(reply[4:]) if reply.startswith("200 ") else None

    def search(self, text, regex=0, anew=False):
        """The result count, and the seconds the query verb took. Equal searches of one version of the
        index share the list a query still holds: `anew` first lets go of it with another search, so
        that the timed one runs in full."""
        self.searches += 1
        if anew:
            self.command("SORRELWICK search qz_nothing_%d" % self.searches)
            self.command("SORRELWICK regex 0")
            self.command("SORRELWICK query")
        self.command("SORRELWICK search " + text)
        self.command("SORRELWICK regex %d" % regex)
        # A column that changes at every call makes each query a new search, not a re-send.
        self.command("SORRELWICK file_list_filename_column %d" % (self.searches % 2))
        began = time.monotonic()
        reply = self.command("SORRELWICK query")
        took = time.monotonic() - began
        return int(re.search(r" RESULT_COUNT (\d+)", reply).group(1)), took

    def listing(self, folder):
        """The entries of an MLSD and the seconds it took."""
        reply = self.command("EPSV")
        port = int(re.search(r"\(\|\|\|(\d+)\|\)", reply).group(1))
        began = time.monotonic()
        data = socket.create_connection(("127.0.0.1", port), timeout=DEADLINE)
        self.send_line("MLSD " + folder)
        listing = read_to_end(data)
        self.read_reply()
        self.read_reply()
        return listing.count(b"\r\n"), time.monotonic() - began


def median_ms(measure, runs=RUNS):
    values = [measure() for _ in range(runs)]
    return statistics.median(took for _, took in values) * 1000, values[-1][0]


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * share))]


def read_timings(live, fresh, big_folder, small_folder):
    """Median milliseconds of each read on the live and on the fresh index, measured in turns so
    that a busy machine weighs on both alike; with the result counts."""
    reads = {
        "rare": lambda client: client.search(RARE, anew=True),
        "half": lambda client: client.search(HALF, anew=True),
        "regex": lambda client: client.search(REGEX, regex=1, anew=True),
        "list_small": lambda client: client.listing(small_folder),
        "list_big": lambda client: client.listing(big_folder),
    }
    timings = {}
    for key, read in reads.items():
        took = {"live": [], "fresh": []}
        counts = {}
        for _ in range(RUNS):
            for name, client in (("live", live), ("fresh", fresh)):
                counts[name], seconds = read(client)
                took[name].append(seconds)
        timings[key] = {name: (statistics.median(took[name]) * 1000, counts[name]) for name in took}
    return timings


def single_changes(client, tree, folders, rng):
    """Seconds from each change to its sight in SIZE and in a search."""
    in_size, in_search = [], []
    for number in range(SINGLE_CHANGES):
        folder = rng.choice(folders)
        name = "live_qz%05dx.txt" % number
        path = os.path.join(folder, name)
        index_path = "/tree/" + os.path.relpath(path, tree)
        began = time.monotonic()
        with open(path, "wb") as out:
            out.write(b"x" * 7)
        wait_for(lambda: client.size(index_path) == 7)
        in_size.append(time.monotonic() - began)
        wait_for(lambda: client.search("qz%05dx" % number)[0] == 1)
        in_search.append(time.monotonic() - began)
    return in_size, in_search


def burst(client, tree):
    folder = os.path.join(tree, "burst")
    os.mkdir(folder)
    wait_for(lambda: client.size("/tree/burst") is not None)
    began = time.monotonic()
    for number in range(BURST):
        os.close(os.open(os.path.join(folder, "burstfile_%06d.dat" % number), os.O_CREAT | os.O_WRONLY, 0o644))
    made = time.monotonic()
    wait_for(lambda: client.size("/tree/burst/burstfile_%06d.dat" % (BURST - 1)) == 0, interval=0.005)
    wait_for(lambda: client.search("burstfile_")[0] == BURST, interval=0.01)
    seen = time.monotonic()
    return made - began, seen - made, seen - began


def find_seconds(tree):
    command = ["find", str(tree), "-printf", "%s %T@ %p\n"]
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True, timeout=DEADLINE * 3)  # warms the cache
    times = []
    for _ in range(3):
        began = time.monotonic()
        subprocess.run(command, stdout=subprocess.DEVNULL, check=True, timeout=DEADLINE * 3)
        times.append(time.monotonic() - began)
    return min(times)


def tree_bench_main(name, run, report, rows_of, remove_changes):
    """The driver of a benchmark on a large tree, made here or given with --tree: `run(build, tree,
    work)` gives the figures, `report` prints them, `rows_of` makes them rows of the table, and
    `remove_changes(tree)` takes out what an earlier run added."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--tree", help="an existing tree (what the benchmark adds is taken out again)")
    parser.add_argument("--count", type=int, default=1_000_000)
    bench_table.add_arguments(parser)
    args = parser.parse_args()
    build = pathlib.Path(args.build).resolve()
    if not (build / "swp-host").exists():
        print("%s: %s is missing; build first" % (name, build / "swp-host"), file=sys.stderr)
        return 1
    work = tempfile.mkdtemp(prefix="swp-%s-" % name.replace("_", "-"))
    try:
        tree = pathlib.Path(args.tree) if args.tree else pathlib.Path(work) / "tree"
        if not args.tree:
            print("making %d entries under %s ..." % (args.count, tree), file=sys.stderr, flush=True)
            make_tree(str(tree), args.count)
        remove_changes(tree)
        figures = run(build, tree, work)
        report(figures)
        if args.rows:
            bench_table.rows_write(args.rows, rows_of(figures))
    finally:
        if args.tree:
            remove_changes(args.tree)
        shutil.rmtree(work, ignore_errors=True)
    return 0


def main():
    return tree_bench_main("bench_live", run, report, rows_of, remove_changes)


def run(build, tree, work):
    figures = {"find": find_seconds(tree)}
    rng = random.Random(7)
    folders = [path for path, _, files in os.walk(tree) if len(files) >= 10]
    small_folder = "/tree/" + os.path.relpath(folders[len(folders) // 2], tree)

    # A full scan; its stop writes the saved index.
    host = Host(build, tree, work + "/home", [])
    figures["scan_listen"] = host.seconds_until(r"listening on")[0]
    at, line = host.seconds_until(r"swp-host: indexed \d+ entries")
    figures["scan_ready"] = at
    figures["entries"] = int(re.search(r"indexed (\d+) entries", line).group(1))
    figures["scan_memory"] = host.memory()
    figures["save_seconds"] = host.stop()

    # From the saved index: at once, then brought up to date; then the changes. Its debug lines say
    # when the overlay was folded into a new base.
    host = Host(build, tree, work + "/home", ["--debug"])
    figures["saved_listen"] = host.seconds_until(r"listening on")[0]
    figures["saved_ready"] = host.seconds_until(r"brought the saved index up to date")[0]
    figures["saved_memory"] = host.memory()
    client = Client(host.port)
    try:
        figures["single_size"], figures["single_search"] = single_changes(client, tree, folders, rng)
        figures["burst"] = burst(client, tree)
        figures["live_memory"] = host.memory()
        # Beside it, a fresh scan of the same tree, for the same reads in turns.
        fresh = Host(build, tree, work + "/fresh", ["--no-index-file"])
        fresh.seconds_until(r"swp-host: indexed \d+ entries")
        fresh_client = Client(fresh.port)
        figures["folds_before_reads"] = host.folds()
        figures["reads"] = read_timings(client, fresh_client, "/tree/burst", small_folder)
        figures["folds_after_reads"] = host.folds()
        fresh_client.close()
        fresh.stop()
    finally:
        client.close()
        host.stop()
    return figures


def remove_changes(tree):
    """What the benchmark added to a tree it was given."""
    shutil.rmtree(os.path.join(tree, "burst"), ignore_errors=True)
    for path, _, files in os.walk(tree):
        for name in files:
            if name.startswith("live_qz"):
                os.remove(os.path.join(path, name))


def rows_of(f):
    """The rows this benchmark adds to make bench's one table (its own table above says more)."""
    entries = f["entries"]
    swp = lambda value: {bench_table.SWP: [value]}  # noqa: E731
    return [
        bench_table.row("live index: a single change visible in SIZE, p99", "ms", "lower",
                        swp(percentile(f["single_size"], 0.99) * 1e3), {"text": "< 100 ms", "limit": 100.0}),
        bench_table.row("live index: memory after a full scan", "B/entry", "lower",
                        swp(f["scan_memory"][0] / entries), {"text": "<= 120 B/entry", "limit": 120}),
        bench_table.row("live index: peak memory during the changes and their folds", "B/entry", "lower",
                        swp(f["live_memory"][1] / entries)),
        bench_table.row("live index: listening, from the saved index", "s", "lower", swp(f["saved_listen"]),
                        {"text": "< 0.5 s", "limit": 0.5}),
    ]


def report(f):
    entries = f["entries"]
    ms = lambda seconds: "%.1f ms" % (seconds * 1000)  # noqa: E731
    yes = lambda met: "yes" if met else "**no**"  # noqa: E731
    print("Synthetic tree of %s entries in folders of about 20 (a tenth of them folders)." % format(entries, ","))
    print("Visibility is timed from the change to the first SIZE or search that shows it.\n")
    print("| figure | swp-host | goal | met |")
    print("|---|---|---|---|")
    for kind in ("size", "search"):
        values = f["single_" + kind]
        p50, p99 = statistics.median(values), percentile(values, 0.99)
        print("| %d single changes: visible in %s, p50 / p99 | %s / %s | p99 < 100 ms | %s |"
              % (SINGLE_CHANGES, "SIZE" if kind == "size" else "a search", ms(p50), ms(p99), yes(p99 < 0.1)))
    made, after, total = f["burst"]
    print("| burst of %s creations: made in %.2f s, all visible %.2f s after the last (%.2f s from the first) "
          "| %.2f s | < 3 s after the last | %s |" % (format(BURST, ","), made, after, total, after, yes(after < 3)))
    names = {"rare": "search, rare term", "half": "search, half the entries", "regex": "search, regex",
             "list_small": "MLSD of a folder of about 20", "list_big": "MLSD of the burst's folder"}
    for key, name in names.items():
        live, fresh = f["reads"][key]["live"], f["reads"][key]["fresh"]
        ratio = live[0] / fresh[0] if fresh[0] else 0
        print("| %s with %s changes applied: live / fresh index (%s results) | %.1f / %.1f ms (%.2f×) "
              "| ≤ 1.10× | %s |" % (name, format(SINGLE_CHANGES + BURST, ","), format(live[1], ","), live[0],
                                    fresh[0], ratio, yes(ratio <= 1.10 and live[1] == fresh[1])))
    for key, name in (("scan_memory", "after a full scan"), ("saved_memory", "from the saved index"),
                      ("live_memory", "right after the burst, its folds running")):
        resident, peak = f[key]
        print("| memory %s: resident / peak per entry | %.0f / %.0f B | ≤ 236 / 332 B (before this work) | %s |"
              % (name, resident / entries, peak / entries, yes(resident / entries <= 236 and peak / entries <= 332)))
    quarter = f["find"] / 4
    print("| listening, from the saved index | %.3f s (complete after %.2f s) | < 0.5 s and < ¼ find (%.2f s) | %s |"
          % (f["saved_listen"], f["saved_ready"], quarter, yes(f["saved_listen"] < min(0.5, quarter))))
    print("| listening, with a full scan | %.3f s (complete after %.2f s) | | |" % (f["scan_listen"], f["scan_ready"]))
    print("| find -printf over the tree | %.2f s | | |" % f["find"])
    print("| writing the saved index at the stop | %.2f s | | |" % f["save_seconds"])
    print("\nFolds of the overlay before the reads: %s; during them: %s."
          % ("; ".join(f["folds_before_reads"]) or "none",
             "; ".join(f["folds_after_reads"][len(f["folds_before_reads"]):]) or "none"))


if __name__ == "__main__":
    sys.exit(main())
