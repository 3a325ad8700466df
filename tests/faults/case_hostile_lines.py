"""Hostile command lines: 100,000 mutations of real commands over 50 connections, each line answered
by exactly one final reply; the server still answers afterwards, its memory is back near where it
started, and it never connects out to a port below 1024."""

import os
import random
import re
import selectors
import socket
import threading
import time

from fault_clients import answers, run_threads
from fault_figures import MIB, megabytes
from fault_server import MemoryGuard, stop_server
from fault_trees import make_sparse_file
from swp_harness import Control, Server, make_tree, settled_counts, wait_until

CONNECTIONS = 50
LINES = 100_000
WINDOW = 64               # lines a connection may have unanswered
CASE_TIMEOUT = 600.0
REPLY_TIMEOUT = 30.0      # for any reply on a tree of a few files
RSS_SLACK = 64 * MIB      # how far above its start the memory may stay afterwards
MEMORY_LIMIT = 2048 * MIB  # a server past this is killed
LONGEST_LINE = MIB        # the server ends a connection whose line grows past this
ROOT = "lines"

TREE_FILES = {"a.txt": b"alpha\n" * 50, "b c.txt": b"b", "sub/d.txt": b"d" * 3000, "sub/deeper/e.bin": b"\0" * 10,
              "\u00e9t\u00e9.txt": b"summer", "empty": None}

# The command words and real lines the mutations start from. QUIT, PORT and EPRT are never
# mutated: QUIT would end the connection early, and a mutated PORT could send the server to any
# loopback port of this machine. They come from fixed lists below.
WORDS = [b"FEAT", b"HELP", b"SYST", b"CDUP", b"REST", b"OPTS", b"MODE", b"STRU", b"NOOP", b"SIZE", b"MDTM",
         b"RETR", b"LIST", b"MLSD", b"MLST", b"PASV", b"EPSV", b"TYPE", b"CWD", b"PWD", b"XPWD", b"SORRELWICK",
         b"SITE", b"USER", b"PASS", b"ABOR", b"NLST", b"STOR", b"DELE", b"AUTH", b"XYZZY"]
REAL_LINES = [b"NOOP", b"PWD", b"CWD /lines", b"CWD sub", b"CDUP", b"SIZE a.txt", b"MDTM /lines/a.txt",
              b"MLST sub", b"LIST", b"LIST -la", b"MLSD /lines/sub", b"RETR a.txt", b"RETR /lines/sub/d.txt",
              b"REST 10", b"TYPE I", b"TYPE A", b"MODE S", b"STRU F", b"OPTS UTF8 ON", b"OPTS utf8 off", b"FEAT",
              b"HELP", b"SYST", b"EPSV", b"PASV", b"EPSV ALL", b"USER anonymous", b"PASS secret",
              b"SITE SORRELWICK case 1", b"SITE HELP", b"SORRELWICK query", b"SORRELWICK search a",
              b"SORRELWICK sort size_descending", b"SORRELWICK count 3", b"XPWD", b"MLST", b"SIZE sub/d.txt"]
SEARCH_WORDS = [b"case", b"whole_word", b"path", b"diacritics", b"prefix", b"suffix", b"ignore_punctuation",
                b"ignore_whitespace", b"regex", b"hide_empty_search_results", b"search", b"filter_search",
                b"filter_case", b"filter_whole_word", b"filter_path", b"filter_diacritics", b"filter_regex",
                b"filter_prefix", b"filter_suffix", b"filter_ignore_punctuation", b"filter_ignore_whitespace",
                b"sort", b"offset", b"count", b"size_column", b"attributes_column", b"date_modified_column",
                b"date_created_column", b"path_column", b"file_list_filename_column",
                b"date_recently_changed_column", b"query", b"QUERY", b"", b"frobnicate"]
ODD_ARGUMENTS = [b"", b" ", b"   ", b"\t", b"\x0b\x0c", b"-", b"-1", b"0", b"1", b"2", b"4294967295", b"4294967296",
                 b"18446744073709551616", b"99999999999999999999999999", b"+7", b"0x10", b"1e9", b"%s%s%n%x",
                 b"%I64u%t%zu", b"%", b"%%", b"..", b"../..", b"/../../..", b"\\..\\..", b"//", b"\\\\srv\\share",
                 b"C:\\", b"/", b"*", b"?", b"[a-", b"(", b")", b"|", b"||||", b",,,,,", b"|1|", b"\"", b"\"\"",
                 b"'", b"!", b"!!", b"\xc3\xa9", b"\xff\xfe\xfd", b"\xc0\xae\xc0\xae", b"\xe2\x80\xae",
                 b"a|", b"!*", b"\"!x\"", b"(?i)A", b"a{1000}", b".*", b"$", b"^", b"\\", b"x" * 300,
                 b"name_ascending", b"NAME_DESCENDING", b"size", b"inverse_size_ascending", b"utf8 on",
                 b"UTF8  ON", b"a b c", b"\x01\x02\x03", b"\x7f", b"sub/../../..", b"/lines/a.txt/"]
QUIT_LINES = [b"QUIT\r\n", b"quit\r\n", b"QuIt trailing words\r\n", b"QUIT\x00ignored\r\n", b"QUIT\n"]
RANDOM_BYTES = bytes(b for b in range(256) if b != 0x0A)


def overlong_size(rng):
    """Up to just under the longest line the server takes (1 MiB); a longer one ends the
    connection, which the storms case covers."""
    roll = rng.random()
    if roll < 0.05:
        return LONGEST_LINE - 64
    return 200_000 if roll < 0.25 else 65_536 if roll < 0.6 else rng.randrange(1000, 9000)


def mutate(rng, line):
    """One or two random changes of a line (never a line feed)."""
    line = bytearray(line)
    for _ in range(rng.choice((1, 1, 2))):
        kind = rng.randrange(9)
        at = rng.randrange(len(line) + 1)
        if kind == 0 and line:
            line[min(at, len(line) - 1)] = rng.choice(RANDOM_BYTES)
        elif kind == 1:
            line[at:at] = bytes(rng.choice(RANDOM_BYTES) for _ in range(rng.randrange(1, 8)))
        elif kind == 2 and line:
            del line[at:at + rng.randrange(1, 4)]
        elif kind == 3:
            line[at:at] = b"\0" * rng.randrange(1, 3)
        elif kind == 4:
            line[at:at] = b"\r" * rng.randrange(1, 3)
        elif kind == 5:
            line[:] = line.swapcase()
        elif kind == 6:
            line[at:at] = b" " * rng.randrange(1, 4)
        elif kind == 7:
            del line[at:]
        else:
            line += b" " + bytes(rng.choice(RANDOM_BYTES) for _ in range(rng.randrange(1, 40)))
    return bytes(line)


def odd_line(rng):
    roll = rng.random()
    if roll < 0.30:
        return rng.choice(WORDS) + b" " + rng.choice(ODD_ARGUMENTS)
    if roll < 0.55:
        prefix = rng.choice((b"SORRELWICK ", b"sorrelwick ", b"SITE SORRELWICK ", b"site Sorrelwick "))
        return prefix + rng.choice(SEARCH_WORDS) + b" " + rng.choice(ODD_ARGUMENTS)
    if roll < 0.85:
        return mutate(rng, rng.choice(REAL_LINES))
    if roll < 0.90:
        return bytes(rng.choice(RANDOM_BYTES) for _ in range(rng.randrange(0, 200)))
    if roll < 0.93:
        return rng.choice((b"", b"\r", b"\r\r", b"\0", b" ", b"\t\t"))
    return rng.choice(WORDS + [b"SORRELWICK search", b"USER", b"CWD"]) + b" " + b"A" * overlong_size(rng)


def is_dangerous(line):
    """A line whose command word could be QUIT, PORT or EPRT to the server, whichever bytes it
    takes for blanks."""
    head = line.split(b"\0", 1)[0][:4].lower()
    return head in (b"quit", b"port", b"eprt")


def data_lines(sink_port):
    """Active-mode lines that can only reach this case's own sink or be refused."""
    high, low = divmod(sink_port, 256)
    return [b"PORT 127,0,0,1,%d,%d" % (high, low), b"PORT 383,0,0,1,%d,%d" % (high, low), b"PORT 10,0,0,9,4,1",
            b"PORT", b"PORT ,,,,,", b"PORT abc", b"port 1,2,3", b"EPRT |1|127.0.0.1|%d|" % sink_port,
            b"EPRT |2|::1|%d|" % sink_port, b"EPRT |3|127.0.0.1|%d|" % sink_port,
            b"EPRT !1!127.0.0.1!%d!" % sink_port, b"EPRT", b"eprt |1|10.0.0.9|5|"]


def line_ending(rng):
    return rng.choice((b"\r\n", b"\r\n", b"\r\n", b"\n", b"\r\r\n"))


class Sink:
    """The far end of every data connection: a listener that active transfers reach, and the
    connections made to passive ports; everything they carry is read and dropped."""

    def __init__(self):
        self.selector = selectors.DefaultSelector()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.setblocking(False)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.pending = []
        self.selector.register(self.listener, selectors.EVENT_READ)
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def connect_passive(self, port):
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        except OSError:
            return
        sock.setblocking(False)
        with self.lock:
            self.pending.append(sock)

    def _serve(self):
        while not self.stopping.is_set():
            with self.lock:
                pending, self.pending = self.pending, []
            for sock in pending:
                self.selector.register(sock, selectors.EVENT_READ)
            for key, _ in self.selector.select(timeout=0.05):
                if key.fileobj is self.listener:
                    try:
                        sock, _ = self.listener.accept()
                    except OSError:
                        continue
                    sock.setblocking(False)
                    self.selector.register(sock, selectors.EVENT_READ)
                    continue
                try:
                    chunk = key.fileobj.recv(1 << 20)
                except BlockingIOError:
                    continue
                except OSError:
                    chunk = b""
                if not chunk:
                    self.selector.unregister(key.fileobj)
                    key.fileobj.close()

    def close(self):
        self.stopping.set()
        self.thread.join(timeout=10)
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()
        with self.lock:
            for sock in self.pending:
                sock.close()
        self.selector.close()


PASSIVE_REPLY = re.compile(rb"^(?:227 Entering Passive Mode\. \(\d+,\d+,\d+,\d+,(\d+),(\d+)\)|"
                           rb"229 Entering Extended Passive Mode \(\|\|\|(\d+)\|\))\r\n$")
REPLY_START = re.compile(rb"^\d{3}[ -]")


class Tally:
    """What one connection sent and got back; `changed` guards the counts and is notified at
    every final reply and when reading ends."""

    def __init__(self):
        self.lines = 0
        self.finals = 0
        self.malformed = 0
        self.reading = True
        self.ended_by_server = False
        self.error = None
        self.last = None
        self.changed = threading.Condition()

    def whole(self):
        """Every line answered once, then the connection ended by the server after QUIT."""
        return self.finals == self.lines and self.ended_by_server and self.error is None


def passive_port(reply):
    match = PASSIVE_REPLY.match(reply.split(b"\n", 1)[0] + b"\n")
    if not match:
        return None
    return int(match.group(3)) if match.group(3) else int(match.group(1)) * 256 + int(match.group(2))


def read_replies(control, tally, sink):
    """Counts final replies until the server closes the connection; opens the data connection of
    every passive reply, so that a transfer never waits for it."""
    try:
        while True:
            reply = control.read_reply_bytes()
            if not REPLY_START.match(reply):
                tally.malformed += 1
            elif reply.startswith(b"1"):
                continue
            port = passive_port(reply)
            if port:
                sink.connect_passive(port)
            with tally.changed:
                tally.last = reply[:80]
                tally.finals += 1
                tally.changed.notify_all()
    except EOFError:
        tally.ended_by_server = True
    except OSError as error:
        tally.error = error
    finally:
        with tally.changed:
            tally.reading = False
            tally.changed.notify_all()


def wait_for_replies(tally, unanswered, deadline):
    """Waits until at most `unanswered` lines wait for their reply; False once reading has ended."""
    with tally.changed:
        if not tally.changed.wait_for(lambda: not tally.reading or tally.lines - tally.finals <= unanswered,
                                      timeout=max(0.0, deadline - time.monotonic())):
            raise TimeoutError("replies stopped coming")
        return tally.reading


def send_lines(control, tally, lines, rng, deadline):
    """Sends the lines in small pipelined batches, never more than WINDOW unanswered. The last line
    (QUIT) waits for every reply, since during a transfer QUIT too is refused."""
    def send(batch):
        payload = b"".join(batch)
        with tally.changed:
            tally.lines += payload.count(b"\n")
        control.send_raw(payload)

    body, last = lines[:-1], lines[-1]
    at = 0
    while at < len(body):
        if not wait_for_replies(tally, WINDOW, deadline):
            return
        batch = body[at:at + rng.randrange(1, 40)]
        at += len(batch)
        send(batch)
    if wait_for_replies(tally, 0, deadline):
        send([last])


def connection_lines(rng, count, sink_port):
    lines = [b"USER fuzz\r\n"]
    active = data_lines(sink_port)
    while len(lines) < count - 1:
        if rng.random() < 0.03:
            line = rng.choice(active)
        else:
            line = odd_line(rng)
            if is_dangerous(line):
                continue
        lines.append(line + line_ending(rng))
    lines.append(rng.choice(QUIT_LINES))
    return lines


def fuzz_connection(port, seed, count, sink, deadline, tallies):
    rng = random.Random(seed)
    lines = connection_lines(rng, count, sink.port)
    tally = Tally()
    tallies.append(tally)
    with Control(port, timeout=REPLY_TIMEOUT) as control:
        reader = threading.Thread(target=read_replies, args=(control, tally, sink), daemon=True)
        reader.start()
        try:
            send_lines(control, tally, lines, rng, deadline)
        finally:
            reader.join(max(0.0, deadline - time.monotonic()))


def privileged_connects(port):
    """How many of PORT and EPRT to port 1 made the server try to connect there."""
    attempts = 0
    with Control(port) as control:
        control.login()
        for line in ("PORT 127,0,0,1,0,1", "EPRT |1|127.0.0.1|1|"):
            if control.command(line) != "200 Port command successful.\r\n":
                continue
            reply = control.command("LIST")
            if reply.startswith(("150", "426 Unable to connect", "500 Failed to connect to port")):
                attempts += 1
            if reply.startswith("150"):
                control.read_reply()
    return attempts


def run(context):
    report = context.report
    root = context.scratch.path("lines-tree")
    make_tree(root, TREE_FILES)
    make_sparse_file(os.path.join(root, "big.bin"), 8 * MIB)
    server = Server(root + "=" + ROOT)
    sink = Sink()
    try:
        settled_counts(server)
        baseline = server.rss_bytes()
        started = time.monotonic()
        deadline = started + CASE_TIMEOUT
        tallies = []
        with MemoryGuard(server, MEMORY_LIMIT) as guard:
            errors = run_threads([lambda seed=seed: fuzz_connection(server.port, seed, LINES // CONNECTIONS, sink,
                                                                    deadline, tallies)
                                  for seed in range(CONNECTIONS)], CASE_TIMEOUT + 30)
        elapsed = time.monotonic() - started
        lines = sum(t.lines for t in tallies)
        finals = sum(t.finals for t in tallies)
        wrong = sum(not t.whole() for t in tallies) + CONNECTIONS - len(tallies)
        for t in [t for t in tallies if not t.whole()][:3]:
            print("faults: a connection sent %d lines, got %d final replies, the last %r, then %r"
                  % (t.lines, t.finals, t.last, t.error))
        report.note("lines sent", "%d in %.1f s (%.0f lines/s)" % (lines, elapsed, lines / elapsed))
        report.fact("connections whose final replies != lines", "%d of %d (%d replies, %d lines)"
                    % (wrong, CONNECTIONS, finals, lines), "0", wrong == 0 and not errors)
        malformed = sum(t.malformed for t in tallies)
        report.fact("replies without a code", str(malformed), "0", malformed == 0)
        report.fact("peak RSS", megabytes(guard.peak), "< %s" % megabytes(MEMORY_LIMIT), not guard.tripped)
        alive = answers(server.port)
        report.fact("server answers afterwards", "yes" if alive else "no", "yes", alive)
        if alive:
            try:
                wait_until(lambda: server.rss_bytes() <= baseline + RSS_SLACK, timeout=30)
            except AssertionError:
                pass
            rss = server.rss_bytes()
            report.fact("RSS afterwards (baseline %s)" % megabytes(baseline), megabytes(rss),
                        "<= baseline + %s" % megabytes(RSS_SLACK), rss <= baseline + RSS_SLACK)
        else:
            report.fact("RSS afterwards", "not measured: no answer", "<= baseline + %s" % megabytes(RSS_SLACK),
                        False)
    finally:
        sink.close()
        stop_server(server)
    server = Server(root + "=" + ROOT)
    try:
        attempts = privileged_connects(server.port)
        report.fact("connects to port 1 after PORT, EPRT", "%d of 2" % attempts, "0", attempts == 0)
    finally:
        stop_server(server)
