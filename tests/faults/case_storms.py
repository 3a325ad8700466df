"""Connect-and-reset storms: 5,000 control connections and 1,000 passive data connections opened
and reset (SO_LINGER 0) at various moments; the server still answers, destroys every client it
accepted, and is left with the threads and descriptors it had before. One more client sends a
line that never ends: the server ends that connection before the line takes its memory."""

import time

from fault_clients import answers, connect_data, logged_on, run_threads
from fault_figures import MIB, megabytes
from fault_server import counts_back, counts_return, idle_counts, stop_server
from swp_harness import Control, Server, close_with_reset, epsv_port, make_tree, wait_until

CONTROL_RESETS = 5000
DATA_RESETS = 1000
WORKERS = 8
CASE_TIMEOUT = 300.0
ENDLESS_LINE = 64 * MIB  # sent without a line feed, in 1 MiB pieces, until the server ends it

TREE = {"a.txt": b"a" * 100, "sub/b.txt": b"b" * 5000}


def control_reset(port, round_number):
    """Opens a control connection and resets it: before the banner, after it, in the middle of a
    line, or with search results owed."""
    kind = round_number % 4
    control = Control(port, timeout=30, read_banner=kind != 0)
    if kind == 2:
        control.send_raw(b"USER storm\r\nNOO")
    elif kind == 3:
        control.send_raw(b"USER storm\r\nSORRELWICK query\r\n")
    close_with_reset(control.sock)


def control_storm(port, rounds, first):
    for round_number in range(first, first + rounds):
        control_reset(port, round_number)


def reply_after_others(control, line, answer):
    """Sends a line and reads replies until its own, which starts with `answer`. A reply before it
    can only be the refusal of a connection reset before the server could look at its peer."""
    control.send_line(line)
    for _ in range(2):
        reply = control.read_reply()
        if reply.startswith(answer):
            return reply
    raise AssertionError("%s not answered %s" % (line, answer))


def data_storm(port, rounds):
    """Passive data connections reset before any transfer, or once a LIST has started on them. The
    LIST waits for its start: a connection reset while it waits to be accepted may vanish, and a
    transfer waiting for it would wait for good."""
    with logged_on(port) as control:
        for round_number in range(rounds):
            data = connect_data(epsv_port(reply_after_others(control, "EPSV", "229 ")))
            if round_number % 2:
                reply_after_others(control, "LIST", "150 ")
                close_with_reset(data)
                if control.read_reply()[:1] not in "245":
                    raise AssertionError("LIST not ended")
            else:
                close_with_reset(data)
        reply_after_others(control, "NOOP", "200 OK.")


def endless_line_ended(port):
    """True when the server ends a connection whose line keeps growing, before ENDLESS_LINE bytes."""
    with Control(port) as control:
        piece = b"A" * MIB
        try:
            for _ in range(ENDLESS_LINE // MIB):
                control.send_raw(piece)
        except OSError:
            return True
        return control.is_closed(timeout=30)


def logged_clients(server):
    log = server.log_text()
    return log.count("Connected."), log.count("Disconnected.")


def run(context):
    report = context.report
    root = make_tree(context.scratch.path("storms"), TREE)
    server = Server(root + "=storms")
    try:
        baseline = idle_counts(server)
        rss_before = server.rss_bytes()
        started = time.monotonic()
        per_worker = CONTROL_RESETS // WORKERS
        errors = run_threads([lambda w=w: control_storm(server.port, per_worker, w * per_worker)
                              for w in range(WORKERS)], CASE_TIMEOUT)
        control_seconds = time.monotonic() - started
        started = time.monotonic()
        errors += run_threads([lambda: data_storm(server.port, DATA_RESETS // WORKERS)] * WORKERS, CASE_TIMEOUT)
        data_seconds = time.monotonic() - started
        for error in errors[:3]:
            print("faults: a storm client failed: %r" % error)
        report.note("storms", "%d control resets in %.1f s, %d data resets in %.1f s"
                    % (CONTROL_RESETS, control_seconds, DATA_RESETS, data_seconds))
        report.fact("storm clients that failed", str(len(errors)), "0", not errors)
        alive = answers(server.port)
        report.fact("server answers afterwards", "yes" if alive else "no", "yes", alive)
        left = counts_return(server, baseline)
        report.fact("threads, descriptors afterwards", "%d, %d" % left, "at most %d, %d (before)" % baseline,
                    counts_back(left, baseline))
        try:
            wait_until(lambda: logged_clients(server)[0] == logged_clients(server)[1], timeout=30)
        except AssertionError:
            pass
        connected, disconnected = logged_clients(server)
        report.fact("clients logged connected / disconnected", "%d / %d" % (connected, disconnected), "equal",
                    connected == disconnected and connected >= CONTROL_RESETS // 2)
        report.note("RSS before, after", "%s, %s" % (megabytes(rss_before), megabytes(server.rss_bytes())))
        ended = endless_line_ended(server.port)
        report.fact("a line without end ends its connection", "yes" if ended else "no",
                    "before %s" % megabytes(ENDLESS_LINE), ended)
    finally:
        stop_server(server)
