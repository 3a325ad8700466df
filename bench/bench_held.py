#!/usr/bin/env python3
"""Benchmark of held search results following the index, on the synthetic tree of 1,000,000 entries
of bench_index.py: how soon a query repeated with unchanged options shows a change on disk (p50 and
p99, with the time of the reply itself), on a quiet disk and while 1,000 changes a second arrive
with 100 other clients each holding a query; and the host's processor time under those changes,
with the 100 held queries and without them, measured in turns in one run so that the machine's
noise weighs on both alike.

Prints one Markdown table with each goal and whether it is met. The tree is made under a temporary
folder and removed at the end (`--tree DIR` uses an existing one, made by bench_index.py --make-tree,
and takes out again what it adds). Only loopback is used; every loop is bounded in count and time."""
import os
import pathlib
import random
import re
import statistics
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_index import EXTENSIONS, WORDS, file_name, make_tree  # noqa: E402
from bench_live import Client, Host, percentile, tree_bench_main  # noqa: E402
import bench_table  # noqa: E402

CHANGE_RATE = int(os.environ.get("SWP_BENCH_CHANGE_RATE", 1000))  # changes a second
WINDOW = float(os.environ.get("SWP_BENCH_HELD_WINDOW", 10))       # seconds of changes per turn
TURNS = int(os.environ.get("SWP_BENCH_HELD_TURNS", 3))
PROBES = int(os.environ.get("SWP_BENCH_HELD_PROBES", 100))        # changes timed per turn
HOLDERS = 100
PROBE_DEADLINE = 10.0  # seconds for one change to show
CHANGE_PREFIX, PROBE_PREFIX = "chg", "heldprobe_"


def held_query(number):
    """(search text, regex, path) of the query that holder `number` keeps: one of the vocabulary's
    words alone (about 50,000 results), with an extension (about 2,500), a regular expression, a
    path term, or the rare word; each holder a different one."""
    word, extension = WORDS[number % len(WORDS)], EXTENSIONS[(number // len(WORDS)) % len(EXTENSIONS)]
    kind = number % 5
    if kind == 0:
        return word, 0, 0
    if kind == 1:
        return "%s *.%s" % (word, extension), 0, 0
    if kind == 2:
        return r"^report_%s_\d+%d\.%s$" % (word, number % 10, extension), 1, 0
    if kind == 3:
        return "%s_00%d" % (word, number % 10), 0, 1
    return "zanzibar %s" % extension, 0, 0


class Holder(Client):
    """A client whose query stays held: asked once, then left."""

    def hold(self, number):
        text, regex, path = held_query(number)
        for line in ("search " + text, "regex %d" % regex, "path %d" % path, "query"):
            reply = self.command("SORRELWICK " + line)
        if not reply.startswith("200-Query results"):
            raise RuntimeError("no results: " + reply)


class Changer(threading.Thread):
    """Makes CHANGE_RATE changes a second for `seconds`: files created (with a few bytes, named as the
    tree's files are) and, once a few hundred exist, the oldest removed, in turns."""

    def __init__(self, folders, seconds, seed):
        super().__init__(daemon=True)
        self.folders, self.seconds, self.rng = folders, seconds, random.Random(seed)
        self.made, self.count = [], 0
        self.number = seed * 10_000_000

    def run(self):
        began = time.monotonic()
        total = int(CHANGE_RATE * self.seconds)
        while self.count < total and time.monotonic() - began < self.seconds * 2:
            due = began + self.count / CHANGE_RATE
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            if len(self.made) >= 400 and self.count % 2:
                os.remove(self.made.pop(0))
            else:
                self.number += 1
                path = os.path.join(self.rng.choice(self.folders),
                                    CHANGE_PREFIX + file_name(self.rng, self.number, False))
                with open(path, "wb") as out:
                    out.write(b"c" * self.rng.randrange(1, 100))
                self.made.append(path)
            self.count += 1
        self.rate = self.count / (time.monotonic() - began)

    def clean(self):
        for path in self.made:
            os.remove(path)
        self.made = []


def result_count(reply):
    return int(re.search(r" RESULT_COUNT (\d+)", reply).group(1))


def probe(client, folders, rng):
    """Changes made one at a time (a file created, then removed again) and the seconds until the
    held query repeated unchanged shows each; with the seconds each of those replies took."""
    shown, replies = [], []
    present = None
    for number in range(PROBES):
        time.sleep(rng.uniform(0, 0.05))  # each change at another moment of the follower's round
        if present:
            os.remove(present)
            present, expected = None, 0
        else:
            present = os.path.join(rng.choice(folders), "%s%05d.txt" % (PROBE_PREFIX, number))
            with open(present, "wb") as out:
                out.write(b"p")
            expected = 1
        changed = time.monotonic()
        while True:
            asked = time.monotonic()
            count = result_count(client.command("SORRELWICK query"))
            answered = time.monotonic()
            replies.append(answered - asked)
            if count == expected:
                break
            if answered - changed > PROBE_DEADLINE:
                raise RuntimeError("a change did not show in %.0f s" % PROBE_DEADLINE)
        shown.append(answered - changed)
    if present:
        os.remove(present)
    return shown, replies


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def changes_with_cpu(host, folders, seed, during=None):
    """Share of one processor the host used while CHANGE_RATE changes a second arrived for WINDOW
    seconds, and the rate reached; `during` runs meanwhile."""
    changer = Changer(folders, WINDOW, seed)
    before, began = cpu_seconds(host.process.pid), time.monotonic()
    changer.start()
    result = during() if during else None
    changer.join()
    share = (cpu_seconds(host.process.pid) - before) / (time.monotonic() - began)
    changer.clean()
    return share, changer.rate, result


def run(build, tree, work):
    rng = random.Random(11)
    folders = [path for path, _, files in os.walk(tree) if len(files) >= 10]
    host = Host(build, tree, work + "/home", ["--no-index-file", "--debug"])
    figures = {"quiet": ([], []), "loaded": ([], []), "cpu_none": [], "cpu_held": [], "rates": []}
    try:
        at, line = host.seconds_until(r"swp-host: indexed \d+ entries")
        figures["entries"] = int(re.search(r"indexed (\d+) entries", line).group(1))
        prober = Client(host.port)
        for line in ("search " + PROBE_PREFIX, "count 0", "query"):
            prober.command("SORRELWICK " + line)
        for turn in range(TURNS):
            shown, replies = probe(prober, folders, rng)
            figures["quiet"][0].extend(shown)
            figures["quiet"][1].extend(replies)
            share, rate, _ = changes_with_cpu(host, folders, 2 * turn + 1)
            figures["cpu_none"].append(share)
            figures["rates"].append(rate)
            holders = [Holder(host.port) for _ in range(HOLDERS)]
            for number, holder in enumerate(holders):
                holder.hold(number)
            share, rate, (shown, replies) = changes_with_cpu(host, folders, 2 * turn + 2,
                                                             lambda: probe(prober, folders, rng))
            figures["cpu_held"].append(share)
            figures["rates"].append(rate)
            figures["loaded"][0].extend(shown)
            figures["loaded"][1].extend(replies)
            for holder in holders:
                holder.close()
        figures["folds"] = host.folds()
        prober.close()
    finally:
        host.stop()
    return figures


def remove_changes(tree):
    """What the benchmark added to a tree it was given, should a run have ended early."""
    for path, _, files in os.walk(tree):
        for name in files:
            if name.startswith(CHANGE_PREFIX) or name.startswith(PROBE_PREFIX):
                os.remove(os.path.join(path, name))


def conditions(f):
    return ("%s entries; %d turns of %.0f s at %.0f changes/s (reached %.0f–%.0f), %d timed changes a turn"
            % (format(f["entries"], ","), TURNS, WINDOW, CHANGE_RATE, min(f["rates"]), max(f["rates"]), PROBES))


def rows_of(f):
    swp = lambda values: {bench_table.SWP: values}  # noqa: E731
    shown = f["loaded"][0]
    note = ("100 other clients each holding a query, 1,000 changes/s; " + conditions(f))
    return [
        bench_table.row("held results: a change shown to an unchanged query, 1,000,000 entries, p50", "ms", "lower",
                        swp([statistics.median(shown) * 1e3]), {"text": "< 100 ms", "limit": 100.0}, note),
        bench_table.row("held results: a change shown to an unchanged query, 1,000,000 entries, p99", "ms", "lower",
                        swp([percentile(shown, 0.99) * 1e3]), {"text": "< 100 ms", "limit": 100.0}, note),
        bench_table.row("held results: host CPU at 1,000 changes/s, 100 clients each holding a query", "% of a core",
                        "lower", swp([share * 100 for share in f["cpu_held"]]),
                        {"text": "< 100 % (keeps up on one core)", "limit": 100.0},
                        "without the held queries: %.1f %% (medians of the turns)"
                        % (statistics.median(f["cpu_none"]) * 100)),
    ]


def report(f):
    yes = lambda met: "yes" if met else "**no**"  # noqa: E731
    print("Synthetic tree; " + conditions(f) + ".")
    print("A change is timed from the file's creation or removal to the first reply of the query, repeated")
    print("unchanged (`SORRELWICK query` alone), that shows it.\n")
    print("| figure | swp-host | goal | met |")
    print("|---|---|---|---|")
    for key, name in (("quiet", "quiet disk"), ("loaded", "1,000 changes/s, 100 clients each holding a query")):
        shown, replies = f[key]
        p50, p99 = statistics.median(shown) * 1e3, percentile(shown, 0.99) * 1e3
        print("| change shown to an unchanged query, %s: p50 / p99 | %.1f / %.1f ms | p99 < 100 ms | %s |"
              % (name, p50, p99, yes(p99 < 100)))
        print("| its replies, %s: p50 / p99 | %.2f / %.2f ms | at once | |"
              % (name, statistics.median(replies) * 1e3, percentile(replies, 0.99) * 1e3))
    none, held = (statistics.median(f[key]) * 100 for key in ("cpu_none", "cpu_held"))
    print("| host CPU at 1,000 changes/s: no held query / 100 held queries (turns: %s / %s) | %.1f / %.1f %% | | |"
          % (", ".join("%.1f" % (v * 100) for v in f["cpu_none"]), ", ".join("%.1f" % (v * 100) for v in f["cpu_held"]),
             none, held))
    print("\nFolds of the overlay: %s." % ("; ".join(f["folds"]) or "none"))


def main():
    return tree_bench_main("bench_held", run, report, rows_of, remove_changes)


if __name__ == "__main__":
    sys.exit(main())
