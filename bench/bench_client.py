#!/usr/bin/env python3
"""swp-search, the client, against swp-host over loopback, beside its peers in every round: a rare
term on the 1,000,000 names of bench_search's tree from the client's start to its last line, beside
plocate on its own database of the same names; 450,000 results printed to a pipe (time and the
client's peak memory) beside plocate; and --get of 1,000 files of 4 KiB beside lftp mirror and
wget -m of the same folder. Rows go to the one table of bench/bench_table.py."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import bench_search  # noqa: E402  (the tree of 1,000,000 entries and plocate's database of it)
import bench_table  # noqa: E402

SMALL_FILES = 1000
SMALL_BYTES = 4096
SMALL_TERM = "qsmallget"
TIME_LIMIT = 1500.0  # seconds for the whole run, tree generation included


def small_tree(root):
    os.makedirs(root)
    for number in range(SMALL_FILES):
        with open(os.path.join(root, "f_%s_%04d.dat" % (SMALL_TERM, number)), "wb") as out:
            out.write(bytes([number % 256]) * SMALL_BYTES)


def peak_memory(pid, peak):
    """The larger of `peak` and the process's peak resident set so far. Read from /proc while the
    process runs: its rusage would count the pages of the forked Python that came before the exec."""
    try:
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return max(peak, int(line.split()[1]) * 1024.0)
    except OSError:
        pass
    return peak


def timed(command, expected_lines=None):
    """Seconds from start to exit, and the peak resident memory in bytes as seen while the output
    was read; stdout goes to a pipe."""
    started = time.perf_counter()
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines = 0
    peak = 0.0
    for chunk in iter(lambda: process.stdout.read1(1 << 16), b""):
        lines += chunk.count(b"\n")
        peak = peak_memory(process.pid, peak)
    stderr = process.stderr.read()
    process.wait(timeout=300)
    elapsed = time.perf_counter() - started
    if process.returncode != 0:
        raise RuntimeError("%s: exit %d: %s" % (command[0], process.returncode, stderr[-500:]))
    if expected_lines is not None and lines != expected_lines:
        raise RuntimeError("%s: %d lines, expected %d" % (" ".join(command), lines, expected_lines))
    return elapsed, peak


def files_below(folder):
    # wget -m keeps its .listing files beside what it fetched.
    found = [os.path.join(path, name) for path, _, names in os.walk(folder) for name in names if name != ".listing"]
    if len(found) != SMALL_FILES or any(os.path.getsize(path) != SMALL_BYTES for path in found):
        raise RuntimeError("%s: %d files, expected %d of %d bytes" % (folder, len(found), SMALL_FILES, SMALL_BYTES))


def fetched(command, target):
    """Seconds that a fetch of the small folder into `target` takes; the files are checked."""
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    started = time.perf_counter()
    subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                   check=True, timeout=600, cwd=target)
    elapsed = time.perf_counter() - started
    files_below(target)
    shutil.rmtree(target, ignore_errors=True)
    return elapsed


def add(samples, name, key, value):
    samples.setdefault(name, {}).setdefault(key, []).append(value)


def one_round(client, url, port, database, work, round_number, samples):
    swp = bench_table.SWP
    rare = bench_search.RARE_TERMS[round_number % 2]
    add(samples, swp, "rare", timed([client, url, rare], bench_search.RARE_PER_TERM)[0] * 1e3)
    common = bench_search.COMMON_TERMS[round_number % 2]
    seconds, peak = timed([client, "--all", url, common], bench_search.COMMON_RESULTS)
    add(samples, swp, "many", seconds)
    add(samples, swp, "rss", peak / 2**20)
    if database:
        add(samples, "plocate", "rare", timed(["plocate", "-d", database, rare], bench_search.RARE_PER_TERM)[0] * 1e3)
        seconds, peak = timed(["plocate", "-d", database, bench_search.COMMON_TERM], bench_search.COMMON_RESULTS)
        add(samples, "plocate", "many", seconds)
        add(samples, "plocate", "rss", peak / 2**20)
    target = os.path.join(work, "fetched")
    add(samples, swp, "get", fetched([client, "--all", "--get", target, url, SMALL_TERM], target))
    if shutil.which("lftp"):
        mirror = "set cmd:fail-exit yes; set net:max-retries 1; mirror /small small; bye"
        add(samples, "lftp mirror", "get",
            fetched(["lftp", "-u", "anonymous,", "-e", mirror, "ftp://127.0.0.1:%d" % port], target))
    if shutil.which("wget"):
        add(samples, "wget -m", "get",
            fetched(["wget", "-m", "-q", "-nH", "--tries=1", "ftp://127.0.0.1:%d/small/" % port], target))


def rows_of(samples, entries):
    def column(key):
        return {name: figures[key] for name, figures in samples.items() if figures.get(key)}
    million = format(entries, ",")
    common = format(bench_search.COMMON_RESULTS, ",")
    return [
        bench_table.row("swp-search, rare term, %s names, start to last line" % million, "ms", "lower",
                        column("rare"), {"text": "<= 2 x plocate", "peer": "plocate", "factor": 2.0},
                        note="swp-search over loopback (connect, log on, search, print); plocate on its own database",
                        expected=("plocate",)),
        bench_table.row("swp-search, %s results printed to a pipe" % common, "s", "lower", column("many"),
                        {"text": "<= 2 x plocate", "peer": "plocate", "factor": 2.0},
                        note="--all, read a page of 10,000 at a time", expected=("plocate",)),
        bench_table.row("swp-search peak memory, %s results" % common, "MiB", "lower", column("rss"),
                        {"text": "<= 16 MiB, flat", "limit": 16.0},
                        note="peak resident set (VmHWM) of the process, read while it prints", expected=("plocate",)),
        bench_table.row("--get of %s files of 4 KiB" % format(SMALL_FILES, ","), "s", "lower", column("get"),
                        {"text": "<= lftp mirror", "peer": "lftp mirror", "factor": 1.0},
                        note="one control connection and one passive data connection a file, each of the three",
                        expected=("lftp mirror", "wget -m")),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--rounds", type=int, default=7)
    bench_table.add_arguments(parser)
    args = parser.parse_args()
    os.environ["SWP_BUILD_DIR"] = os.path.abspath(args.build)
    import swp_harness  # reads SWP_BUILD_DIR when imported

    client = os.path.join(os.path.abspath(args.build), "swp-search")
    deadline = time.monotonic() + TIME_LIMIT
    samples = {}
    home = bench_search.scratch_folder()
    try:
        started = time.monotonic()
        tree = os.path.join(home, "tree")
        entries = bench_search.generate_tree(tree)
        small = os.path.join(home, "small")
        small_tree(small)
        print("tree: %d entries below the root, generated in %.1f s" % (entries, time.monotonic() - started),
              file=sys.stderr, flush=True)
        database = bench_search.plocate_database(tree, home)
        if database is None:
            print("plocate: not installed; skipped", file=sys.stderr)
        index_args = ["--no-log", "--no-index-file", "--index", small + "=small"]
        with swp_harness.Server(tree + "=bench", args=index_args, start_timeout=600) as server:
            url = "ftp://127.0.0.1:%d" % server.port
            # One search of each kind first, unrecorded, so that no row's first round pays for cold caches.
            timed([client, url, bench_search.RARE_TERMS[1]])
            if database:
                timed(["plocate", "-d", database, bench_search.RARE_TERMS[1]])
            for round_number in range(args.rounds):
                if time.monotonic() > deadline:
                    print("time limit reached after %d rounds" % round_number, file=sys.stderr)
                    break
                one_round(client, url, server.port, database, home, round_number, samples)
        rows = rows_of(samples, entries)
    finally:
        shutil.rmtree(home, ignore_errors=True)
    bench_table.finish(rows, args, os.path.abspath(os.path.join(args.build, "bench_client.png")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
