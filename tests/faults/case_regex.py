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
    """The reply to a query, or None when none came within `timeout`."""
    control.sock.settimeout(timeout)
    control.send_line("SORRELWICK query")
    try:
        return control.read_reply()
    except TimeoutError:
        return None
    finally:
        control.sock.settimeout(ANSWER_DEADLINE)


def check_empty_matches(report, tree, entries):
    found, hung = [], []
    server = Server(tree)
    try:
        for pattern in EMPTY_MATCHES:
            with MemoryGuard(server, MEMORY_LIMIT), logged_on(server.port, timeout=ANSWER_DEADLINE) as control:
                control.command("SORRELWICK count 0")
                set_search(control, pattern, 1)
                count = result_count(query(control, ANSWER_DEADLINE) or "")
            if count is None:
                hung.append(pattern)
                stop_server(server)
                server = Server(tree)
            elif count != entries:
                found.append("%s: found %d" % (pattern, count))
    finally:
        stop_server(server)
    for line in found + ["%s: no answer" % pattern for pattern in hung]:
        print("faults: regex " + line)
    report.fact("regexes matching the empty text find every entry", "%d of %d" % (
        len(EMPTY_MATCHES) - len(found) - len(hung), len(EMPTY_MATCHES)), "all %d, within %.0f s" % (
        entries, ANSWER_DEADLINE), not found and not hung)


def bystander(port):
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


class HeavyFindings:
    def __init__(self):
        self.noops, self.ordinary, self.rest_times = [], [], []
        self.unanswered = 0      # runs in which the other client's NOOPs or search went unanswered
        self.not_given_up, self.restless = [], []


def measure_bystander(port, findings):
    try:
        latencies, search_seconds = bystander(port)
    except (OSError, EOFError, AssertionError):
        findings.unanswered += 1
        return
    findings.noops += latencies
    if search_seconds is None:
        findings.unanswered += 1
    else:
        findings.ordinary.append(search_seconds)


def heavy_run(server, text, regex, ending, label, findings):
    """Sends one heavy search, measures another client beside it, gives it up and waits for the CPU
    to come to rest; False when it did not (the server is then to be replaced)."""
    with MemoryGuard(server, MEMORY_LIMIT) as guard:
        control = logged_on(server.port, timeout=ANSWER_DEADLINE)
        try:
            control.command("SORRELWICK count 0")
            set_search(control, text, regex)
            control.send_line("SORRELWICK query")
            measure_bystander(server.port, findings)
            if not end_heavy(control, ending):
                findings.not_given_up.append(label + ": not given up as asked")
        except (OSError, EOFError, AssertionError) as error:
            findings.not_given_up.append("%s: %r" % (label, error))
        finally:
            control.close()
        rest = seconds_until_idle(server, IDLE_DEADLINE) if not guard.tripped else None
    if rest is None:
        findings.restless.append("%s: not at rest%s" % (
            label, " (killed at %s)" % megabytes(guard.peak) if guard.tripped else ""))
        return False
    findings.rest_times.append(rest)
    return True


def check_heavy(report, tree):
    findings = HeavyFindings()
    runs = [(name, text, regex) for name, text in HEAVY for regex in (0, 1)]
    server = Server(tree, start_timeout=120)
    try:
        for number, (name, text, regex) in enumerate(runs):
            ending = ENDINGS[number % len(ENDINGS)]
            label = "%s, %s, %s" % (name, "regex" if regex else "plain", ending)
            if not heavy_run(server, text, regex, ending, label, findings):
                stop_server(server)
                server = Server(tree, start_timeout=120)
    finally:
        stop_server(server)
    report_heavy(report, findings, len(runs))


def report_heavy(report, findings, runs):
    for label in findings.not_given_up + findings.restless:
        print("faults: heavy search " + label)
    report.fact("heavy searches given up as asked", "%d of %d" % (runs - len(findings.not_given_up), runs), "all",
                not findings.not_given_up)
    report.fact("other clients answered meanwhile", "%d of %d runs" % (runs - findings.unanswered, runs),
                "all, within %.0f s" % ANSWER_DEADLINE, findings.unanswered == 0)
    if findings.noops:
        p99 = percentile(findings.noops, 0.99)
        report.goal("their NOOP p99", milliseconds(p99), "< %s" % milliseconds(NOOP_GOAL), p99 < NOOP_GOAL)
    if findings.ordinary:
        worst = max(findings.ordinary)
        report.goal("their ordinary search, median and slowest", "%s, %s" % (
            milliseconds(percentile(findings.ordinary, 0.5)), milliseconds(worst)),
            "< %s" % milliseconds(SEARCH_GOAL), worst < SEARCH_GOAL)
    report.fact("CPU at rest after each heavy search", "%d of %d" % (runs - len(findings.restless), runs),
                "all, within %.0f s" % IDLE_DEADLINE, not findings.restless)
    if findings.rest_times:
        report.note("time to rest, slowest", "%.1f s" % max(findings.rest_times))


def run(context):
    tree, entries = context.scratch.wide_tree(SMALL_TREE_FILES)
    check_empty_matches(context.report, tree, entries)
    tree, _ = context.scratch.wide_tree(HEAVY_TREE_FILES)
    check_heavy(context.report, tree)
