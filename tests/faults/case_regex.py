"""Regular expressions and heavy searches. Expressions that match the empty text (`$`, `^`, `.*`,
`x*`, `a*$`, `(a|a)*$`, `(?:)`) must find every entry. Heavy search texts (50,000 nested
parentheses, 1 MiB of `* ` terms, 1 MiB of `!zq `, 10,000 terms `*a*`, a 10,000-way alternation),
each in plain and in regex mode, are sent and then superseded, aborted or disconnected: meanwhile
another client's NOOPs and an ordinary search are answered (their latencies printed), and the
host's CPU comes back to rest afterwards."""

import re
import time

from fault_clients import logged_on
from fault_figures import MIB, megabytes, milliseconds, percentile
from fault_server import MemoryGuard, seconds_until_idle, stop_server
from swp_harness import Server, close_with_reset

EMPTY_MATCHES = ["$", "^", ".*", "x*", "a*$", "(a|a)*$", "(?:)"]
TEXT_ROOM = MIB - 64          # a search text as long as a command line can carry
HEAVY = [
    ("50,000 nested parentheses", "(" * 50_000 + "a" + ")" * 50_000),
    ("1 MiB of '* '", "* " * (TEXT_ROOM // 2)),
    ("1 MiB of '!zq '", "!zq " * (TEXT_ROOM // 4)),
    ("10,000 terms '*a*'", " ".join(["*a*"] * 10_000)),
    ("10,000-way alternation", "|".join("a%d" % n for n in range(10_000))),
]
ENDINGS = ["superseded", "aborted", "disconnected"]
SMALL_TREE_FILES = 2_000
HEAVY_TREE_FILES = 100_000
ANSWER_DEADLINE = 15.0      # for a search of 2,000 entries, or an ordinary one of 100,000
IDLE_DEADLINE = 20.0        # for the CPU to come to rest after a heavy search has been given up
BYSTANDER_NOOPS = 100
NOOP_GOAL = 0.050
SEARCH_GOAL = 1.0
MEMORY_LIMIT = 2048 * MIB
ORDINARY = "f0000001_alpha"
RESULT_COUNT = re.compile(r"\r\n RESULT_COUNT (\d+)\r\n")
ABORTED = "426 Query aborted.\r\n"


def result_count(reply):
    match = RESULT_COUNT.search(reply)
    return int(match.group(1)) if match and reply.startswith("200-Query results") else None


def set_search(control, text, regex):
    control.send_raw(b"SORRELWICK regex %d\r\nSORRELWICK search %s\r\n" % (regex, text.encode()))
    for _ in range(2):
        if not control.read_reply().startswith("200 "):
            raise AssertionError("a search option was refused")


def query(control, timeout):
    """The reply to a query, or None when none came within `timeout` (then the query is aborted)."""
    control.sock.settimeout(timeout)
    control.send_line("SORRELWICK query")
    try:
        return control.read_reply()
    except TimeoutError:
        control.sock.settimeout(ANSWER_DEADLINE)
        if control.command("NOOP") == ABORTED:
            control.read_reply()
        return None
    finally:
        control.sock.settimeout(ANSWER_DEADLINE)


def check_empty_matches(report, tree, entries):
    found, hung = [], []
    server = Server(tree)
    try:
        for pattern in EMPTY_MATCHES:
            with logged_on(server.port, timeout=ANSWER_DEADLINE) as control:
                control.command("SORRELWICK count 0")
                set_search(control, pattern, 1)
                count = result_count(query(control, ANSWER_DEADLINE) or "")
            if count is None:
                hung.append(pattern)
                stop_server(server)
                server = Server(tree)
            elif count != entries:
                found.append("%s: %d" % (pattern, count))
    finally:
        stop_server(server)
    report.fact("regex matching the empty text: every entry", "%d of %d; wrong: %s; no answer: %s"
                % (len(EMPTY_MATCHES) - len(found) - len(hung), len(EMPTY_MATCHES), ", ".join(found) or "none",
                   " ".join(hung) or "none"), "all %d entries, within %.0f s" % (entries, ANSWER_DEADLINE),
                not found and not hung)


def bystander(port, entries):
    """NOOP latencies and an ordinary search's latency, or None for a search not answered right."""
    latencies = []
    with logged_on(port, timeout=ANSWER_DEADLINE) as control:
        for _ in range(BYSTANDER_NOOPS):
            started = time.monotonic()
            if control.command("NOOP") != "200 OK.\r\n":
                raise AssertionError("NOOP not answered 200")
            latencies.append(time.monotonic() - started)
        control.command("SORRELWICK count 0")
        set_search(control, ORDINARY, 0)
        started = time.monotonic()
        ordinary = time.monotonic() - started if result_count(query(control, ANSWER_DEADLINE) or "") == 1 else None
    return latencies, ordinary


def end_heavy(control, ending):
    """Gives up the heavy query (unless its answer has come already); False when the server did not
    answer as it should."""
    if ending == "disconnected":
        close_with_reset(control.sock)
        return True
    control.send_line("NOOP" if ending == "aborted" else "SORRELWICK search " + ORDINARY)
    owed = control.read_reply()
    if owed != ABORTED and result_count(owed) is None:
        return False
    if ending == "aborted":
        return control.read_reply() == "200 OK.\r\n"
    return control.read_reply().startswith("200 ") and result_count(query(control, ANSWER_DEADLINE) or "") == 1


def check_heavy(report, tree, entries):
    server = Server(tree, start_timeout=120)
    noops, ordinary, slow_searches, unanswered, restless, wrong_endings = [], [], 0, 0, [], []
    idle_times = []
    try:
        for number, (regex, (name, text)) in enumerate((regex, heavy) for heavy in HEAVY for regex in (0, 1)):
            ending = ENDINGS[number % len(ENDINGS)]
            label = "%s, %s, %s" % (name, "regex" if regex else "plain", ending)
            with MemoryGuard(server, MEMORY_LIMIT) as guard:
                control = logged_on(server.port, timeout=ANSWER_DEADLINE)
                try:
                    control.command("SORRELWICK count 0")
                    set_search(control, text, regex)
                    control.send_line("SORRELWICK query")
                    try:
                        latencies, search_seconds = bystander(server.port, entries)
                        noops += latencies
                        if search_seconds is None:
                            slow_searches += 1
                        else:
                            ordinary.append(search_seconds)
                    except (OSError, EOFError, AssertionError):
                        unanswered += 1
                    if not end_heavy(control, ending):
                        wrong_endings.append(label)
                except (OSError, EOFError, AssertionError):
                    wrong_endings.append(label)
                finally:
                    control.close()
                idle = seconds_until_idle(server, IDLE_DEADLINE) if not guard.tripped else None
            if idle is None:
                restless.append(label + (" (killed at %s)" % megabytes(guard.peak) if guard.tripped else ""))
                stop_server(server)
                server = Server(tree, start_timeout=120)
            else:
                idle_times.append(idle)
    finally:
        stop_server(server)
    runs = len(HEAVY) * 2
    report.fact("heavy searches given up as asked", "%d of %d%s" % (runs - len(wrong_endings), runs, (
        "; not: " + "; ".join(wrong_endings[:3])) if wrong_endings else ""), "all", not wrong_endings)
    report.fact("other clients answered meanwhile", "%d of %d runs" % (runs - unanswered - slow_searches, runs),
                "all, within %.0f s" % ANSWER_DEADLINE, unanswered == 0 and slow_searches == 0)
    if noops:
        p99 = percentile(noops, 0.99)
        report.goal("their NOOP p99", milliseconds(p99), "< %s" % milliseconds(NOOP_GOAL), p99 < NOOP_GOAL)
    if ordinary:
        worst = max(ordinary)
        report.goal("their ordinary search, median and slowest", "%s, %s" % (
            milliseconds(percentile(ordinary, 0.5)), milliseconds(worst)), "< %s" % milliseconds(SEARCH_GOAL),
            worst < SEARCH_GOAL)
    report.fact("CPU at rest after each heavy search", "%d of %d%s" % (runs - len(restless), runs, (
        "; not: " + "; ".join(restless[:3])) if restless else ""), "all, within %.0f s" % IDLE_DEADLINE,
        not restless)
    if idle_times:
        report.note("time to rest, slowest", "%.1f s" % max(idle_times))


def run(context):
    tree, entries = context.scratch.wide_tree(SMALL_TREE_FILES)
    check_empty_matches(context.report, tree, entries)
    tree, entries = context.scratch.wide_tree(HEAVY_TREE_FILES)
    check_heavy(context.report, tree, entries)
