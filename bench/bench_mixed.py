#!/usr/bin/env python3
"""Mixed load on swp-host over the synthetic tree of 1,000,000 entries of bench_index.py: 50 clients
searching, 10 clients downloading and 500 changes a second on the disk, first each group alone,
then all three together, with the NOOP round trip of one more client timed throughout.

- Each searcher runs a new search of the whole index (a rare term and an alternative of its own,
  10 results), then waits SEARCH_PAUSE before the next; the figure is the p99 of the query verb.
  Fifty searches a second of a few milliseconds of processor time each take about a tenth of two
  processors, so that the downloads, which take what is left, can keep most of their speed.
- Each downloader fetches a cached file of DOWNLOAD_SIZE over and over through a passive data
  connection read by swp_bench_transfer drain; the figure is its bytes per second over the phase.
- The changes create, rename and delete files in the tree's folders at a steady pace.
- The probe sends a NOOP every NOOP_PAUSE and times the reply.

Goals: together, a search p99 under 100 ms, a NOOP p99 under 5 ms, and every download at least 80%
of its speed when the downloads run alone. Each client is a process of its own (this script run
with --client), so that no client waits for another's interpreter lock. Only loopback is used;
every loop is bounded in count and time. Rows go to the one table of bench/bench_table.py."""
import argparse
import json
import os
import pathlib
import random
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
from bench_index import make_tree  # noqa: E402
from swp_harness import Control  # noqa: E402
import bench_table  # noqa: E402

ENTRIES = 1_000_000
SEARCHERS = 50
DOWNLOADERS = 10
CHANGES_PER_SECOND = 500
PHASE_SECONDS = 10.0
SEARCH_PAUSE = 1.0
NOOP_PAUSE = 0.002
DOWNLOAD_SIZE = 128 << 20
CHANGE_TICK = 0.01
START_PAUSE = 5.0  # seconds for every client of a phase to start and log in before it begins
START_TIMEOUT = 600.0
IO_TIMEOUT = 120.0
ALONE = "each alone"  # the reference column: the same group without the other two


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * share))] if ordered else None


# ---- the clients, each run as a process of its own ---------------------------------------------

def session(port):
    client = Control(port, timeout=IO_TIMEOUT)
    client.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    client.login()
    return client


def wait_for_start(start):
    """Every client of a phase begins at the same moment, once all of them have started and
    logged in (the monotonic clock is the system's, the same in every process)."""
    pause = start - time.monotonic()
    if pause > 0:
        time.sleep(pause)


def client_search(port, start, seconds, number):
    """Seconds each query verb took."""
    client = session(port)
    client.command("SORRELWICK count 10")
    took, serial = [], 0
    wait_for_start(start)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        serial += 1
        # An alternative that no name holds makes every query a new search of the whole index.
        client.command("SORRELWICK search zanzibar|qz%dn%d" % (number, serial))
        began = time.monotonic()
        reply = client.command("SORRELWICK query")
        took.append(time.monotonic() - began)
        if not reply.startswith("200"):
            raise RuntimeError("search failed: " + reply[:200])
        time.sleep(SEARCH_PAUSE)
    client.close()
    return took


def client_noop(port, start, seconds):
    client = session(port)
    took = []
    wait_for_start(start)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        began = time.monotonic()
        reply = client.command("NOOP")
        took.append(time.monotonic() - began)
        if not reply.startswith("200"):
            raise RuntimeError("NOOP failed: " + reply)
        time.sleep(NOOP_PAUSE)
    client.close()
    return took


def client_changes(tree, start, seconds):
    """Changes made at CHANGES_PER_SECOND in the tree's folders: a create, a rename, a delete."""
    folders = sorted(path for path, _, _ in os.walk(tree))[:2000]
    rng = random.Random(11)
    per_tick = max(1, round(CHANGES_PER_SECOND * CHANGE_TICK))
    made, live, serial = 0, [], 0
    wait_for_start(start)
    began = time.monotonic()
    ticks = int(seconds / CHANGE_TICK)
    for tick in range(ticks):
        for _ in range(per_tick):
            step = made % 3
            if step == 0 or not live:
                serial += 1
                path = os.path.join(rng.choice(folders), "mixed_qz%07d.tmp" % serial)
                os.close(os.open(path, os.O_CREAT | os.O_WRONLY, 0o644))
                live.append(path)
            elif step == 1:
                path = live.pop(0)
                renamed = path[:-4] + "r.tmp"
                os.rename(path, renamed)
                live.append(renamed)
            else:
                os.remove(live.pop(0))
            made += 1
        pause = began + (tick + 1) * CHANGE_TICK - time.monotonic()
        if pause > 0:
            time.sleep(pause)
    for path in live:
        os.remove(path)
    return [made / (time.monotonic() - began)]


def client_main(args):
    if args.client == "search":
        result = client_search(args.port, args.start, args.seconds, args.number)
    elif args.client == "noop":
        result = client_noop(args.port, args.start, args.seconds)
    else:
        result = client_changes(args.tree, args.start, args.seconds)
    json.dump(result, sys.stdout)
    return 0


# ---- the phases ----------------------------------------------------------------------------------

def spawn(kind, port, start, number=0, tree=""):
    return subprocess.Popen([sys.executable, __file__, "--client", kind, "--port", str(port), "--start", repr(start),
                             "--seconds", repr(PHASE_SECONDS), "--number", str(number), "--tree", tree],
                            stdout=subprocess.PIPE)


def collect(process):
    output, _ = process.communicate(timeout=START_PAUSE + PHASE_SECONDS + IO_TIMEOUT)
    if process.returncode != 0:
        raise RuntimeError("a client failed")
    return json.loads(output)


def download_loop(port, path, driver, start, speeds, index):
    """Fetches the file until the phase ends; its bytes per second go to speeds[index]."""
    client = session(port)
    client.command("TYPE I")
    total, spent = 0, 0.0
    wait_for_start(start)
    end = start + PHASE_SECONDS
    while time.monotonic() < end:
        reply = client.command("EPSV")
        data_port = re.search(r"\|\|\|(\d+)\|", reply).group(1)
        drain = subprocess.Popen([driver, "drain", "127.0.0.1", data_port], stdout=subprocess.PIPE)
        began = time.monotonic()
        client.send_line("RETR " + path)
        if not client.read_reply().startswith("150"):
            drain.kill()
            raise RuntimeError("RETR refused")
        output, _ = drain.communicate(timeout=IO_TIMEOUT)
        if not client.read_reply().startswith("226"):
            raise RuntimeError("RETR did not complete")
        spent += time.monotonic() - began
        total += int(output)
    client.close()
    speeds[index] = total / spent if spent else 0.0


def phase(port, tree, driver, groups):
    """Runs the named groups together for PHASE_SECONDS; their figures and the probe's."""
    start = time.monotonic() + START_PAUSE
    noop = spawn("noop", port, start)
    searchers = [spawn("search", port, start, number) for number in range(SEARCHERS)] if "search" in groups else []
    changes = spawn("changes", port, start, tree=str(tree)) if "changes" in groups else None
    speeds = [None] * DOWNLOADERS
    loops = []
    if "download" in groups:
        for index in range(DOWNLOADERS):
            loop = threading.Thread(target=download_loop, args=(port, "/tree/downloads/d%d.bin" % index, driver, start,
                                                              speeds, index))
            loop.start()
            loops.append(loop)
    figures = {"noop": collect(noop)}
    if searchers:
        figures["search"] = [seconds for process in searchers for seconds in collect(process)]
    if changes:
        figures["changes"] = collect(changes)[0]
    for loop in loops:
        loop.join(timeout=START_PAUSE + PHASE_SECONDS + IO_TIMEOUT)
    if loops:
        if any(speed is None for speed in speeds):
            raise RuntimeError("a download failed")
        figures["download"] = speeds
    return figures


def make_downloads(tree):
    folder = os.path.join(tree, "downloads")
    os.makedirs(folder, exist_ok=True)
    chunk = os.urandom(1 << 24)
    for index in range(DOWNLOADERS):
        path = os.path.join(folder, "d%d.bin" % index)
        if os.path.exists(path) and os.path.getsize(path) == DOWNLOAD_SIZE:
            continue
        with open(path, "wb") as out:
            for _ in range(DOWNLOAD_SIZE // len(chunk)):
                out.write(chunk)
    for index in range(DOWNLOADERS):
        with open(os.path.join(folder, "d%d.bin" % index), "rb") as cached:
            while cached.read(1 << 24):
                pass


def start_host(build, tree, home):
    env = dict(os.environ, XDG_CONFIG_HOME=home + "/config", XDG_STATE_HOME=home + "/state",
               XDG_CACHE_HOME=home + "/cache")
    process = subprocess.Popen([str(build / "swp-host"), "--port", "0", "--bind", "127.0.0.1", "--no-log",
                                "--no-index-file", "--passive-ports", "10000-15999", "--index", str(tree) + "=tree"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    port = None
    deadline = time.monotonic() + START_TIMEOUT
    while time.monotonic() < deadline:
        line = process.stderr.readline().decode("utf-8", "replace")
        if not line:
            break
        found = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
        if found:
            port = int(found.group(1))
        if port and re.search(r"swp-host: indexed \d+ entries", line):
            # The rest of its console is not read: it is drained so that it never blocks.
            threading.Thread(target=lambda: process.stderr.read(), daemon=True).start()
            return process, port
    process.kill()
    process.wait()
    raise RuntimeError("swp-host did not index the tree")


def run(build, tree, work, runs):
    process, port = start_host(build, tree, work + "/home")
    samples = {}
    driver = str(build / "swp_bench_transfer")
    try:
        for round_number in range(runs):
            print("round %d of %d" % (round_number + 1, runs), file=sys.stderr, flush=True)
            for name, groups in (("search", ("search",)), ("download", ("download",)), ("changes", ("changes",)),
                                 ("together", ("search", "download", "changes"))):
                figures = phase(port, tree, driver, groups)
                samples.setdefault(name, []).append(figures)
                print("  %s: NOOP p99 %.2f ms%s%s" % (
                    name, percentile(figures["noop"], 0.99) * 1e3,
                    ", search p99 %.1f ms" % (percentile(figures["search"], 0.99) * 1e3) if "search" in figures else "",
                    ", downloads %s MB/s" % " ".join("%.0f" % (speed / 1e6) for speed in figures["download"])
                    if "download" in figures else ""), file=sys.stderr, flush=True)
    finally:
        process.terminate()
        process.wait(timeout=60)
    return samples


def rows_of(samples):
    together = samples["together"]
    search_p99 = lambda figures: percentile(figures["search"], 0.99) * 1e3  # noqa: E731
    noop_p99 = lambda figures: percentile(figures["noop"], 0.99) * 1e3  # noqa: E731
    alone_noop = [max(noop_p99(samples[name][i]) for name in ("search", "download", "changes"))
                  for i in range(len(together))]
    # Each downloader against itself alone, in the same round; the slowest share counts.
    shares = [100.0 * min(t / a if a else 0.0 for t, a in zip(figures["download"], alone["download"]))
              for figures, alone in zip(together, samples["download"])]
    work = "mixed load on %s entries (%d searching, %d downloading, %d changes/s): " % (
        format(ENTRIES, ","), SEARCHERS, DOWNLOADERS, CHANGES_PER_SECOND)
    return [
        bench_table.row(work + "search p99", "ms", "lower",
                        {bench_table.SWP: [search_p99(f) for f in together],
                         ALONE: [search_p99(f) for f in samples["search"]]},
                        {"text": "< 100 ms", "limit": 100.0}, expected=(ALONE,),
                        note="each searcher runs a new search of the whole index every %.1f s" % SEARCH_PAUSE),
        bench_table.row(work + "NOOP p99", "ms", "lower", {bench_table.SWP: [noop_p99(f) for f in together],
                                                           ALONE: alone_noop},
                        {"text": "< 5 ms", "limit": 5.0}, expected=(ALONE,),
                        note="each alone: the worst of the three groups alone"),
        bench_table.row(work + "slowest download, share of its speed alone", "%", "higher",
                        {bench_table.SWP: shares}, {"text": ">= 80 %", "limit": 80.0},
                        note="the downloads alone run side by side, as they do together"),
    ]


def main():
    global PHASE_SECONDS, ENTRIES
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--tree", help="an existing tree of bench_index.py (the download files are added to it)")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--count", type=int, default=ENTRIES, help="entries of the generated tree")
    parser.add_argument("--phase-seconds", type=float, default=PHASE_SECONDS)
    parser.add_argument("--client", choices=("search", "noop", "changes"), help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--start", type=float, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--seconds", type=float, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--number", type=int, default=0, help=argparse.SUPPRESS)
    bench_table.add_arguments(parser)
    args = parser.parse_args()
    if args.client:
        PHASE_SECONDS = args.seconds
        return client_main(args)
    PHASE_SECONDS, ENTRIES = args.phase_seconds, args.count
    build = pathlib.Path(args.build).resolve()
    if not (build / "swp-host").exists() or not (build / "swp_bench_transfer").exists():
        print("bench_mixed: build first", file=sys.stderr)
        return 1
    work = tempfile.mkdtemp(prefix="swp-bench-mixed-")
    try:
        tree = pathlib.Path(args.tree) if args.tree else pathlib.Path(work) / "tree"
        if not args.tree:
            print("making %d entries under %s ..." % (ENTRIES, tree), file=sys.stderr, flush=True)
            make_tree(str(tree), ENTRIES)
        make_downloads(str(tree))
        samples = run(build, tree, work, max(1, args.runs))
        bench_table.finish(rows_of(samples), args, os.path.join(str(build), "bench_mixed.png"))
    finally:
        if args.tree:
            shutil.rmtree(os.path.join(args.tree, "downloads"), ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
