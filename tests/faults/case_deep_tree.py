"""Deep trees: a chain of folders down to the system's limit of 4,096 bytes for a path, a file in
each and a folder beyond the limit, is scanned whole, its deepest file found with its whole search
PATH and downloaded, and what lies beyond is named on the console and left out; 2,000 folders
made one in another while the host runs are each read once (the host's CPU seconds for them are
printed), found with their whole PATH, and a folder made beyond the limit is left out."""

import itertools
import os
import re
import time

from fault_clients import answers, connect_data, logged_on
from fault_server import seconds_until_idle, stop_server
from fault_trees import remove_deep_tree
from swp_harness import Server, epsv_port, read_to_end, wait_until

PATH_LIMIT = 4096           # bytes of a path with its terminating zero
CHAIN_NAME, FILE_NAME = "d", "f"
NESTED = 2000
NESTED_NAME = "q"           # no other name holds it: a search for it finds the nested folders alone
BEYOND_NAME = "x" * 255     # too long for any folder of the chain's last one
LIVE_BEYOND_NAME = "y" * 255
LIVE_MARK = "g"             # made beside the live folder beyond the limit, after it
FILE_BYTES = b"bottom of the chain"
NESTED_CPU_GOAL = 2.0
SCAN_GOAL = 5.0
DEADLINE = 120.0
QUERIES = itertools.count()
SCANNED = re.compile(r"swp-host: indexed (\d+) entries in ([\d.]+) s \((\d+) skipped\)")


def make_chain(root):
    """Folders named d one in another below root, each with a file f, down to the deepest whose
    file still fits in a path, and in that one a folder beyond the limit (made from its parent's
    descriptor: no path names it). Returns (folders below root, length of the deepest folder's path)."""
    os.makedirs(root)
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    length, folders = len(root), 0
    try:
        while True:
            with open(os.open(FILE_NAME, os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd), "wb") as out:
                out.write(FILE_BYTES)
            if length + 2 * (1 + len(CHAIN_NAME)) >= PATH_LIMIT:  # the next folder's file would not fit
                break
            os.mkdir(CHAIN_NAME, dir_fd=fd)
            fd = reopen(fd, CHAIN_NAME)
            length += 1 + len(CHAIN_NAME)
            folders += 1
        os.mkdir(BEYOND_NAME, dir_fd=fd)
        beyond = os.open(BEYOND_NAME, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(os.open(FILE_NAME, os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=beyond))
        os.close(beyond)
    finally:
        os.close(fd)
    return folders, length


def reopen(fd, name):
    """The folder `name` in the open folder fd, which is closed."""
    child = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW, dir_fd=fd)
    os.close(fd)
    return child


def make_nested(root, count):
    """`count` folders made one in another as fast as the system makes them."""
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(count):
            os.mkdir(NESTED_NAME, dir_fd=fd)
            fd = reopen(fd, NESTED_NAME)
    finally:
        os.close(fd)


def deepest_chain_folder(root, folders):
    """An open descriptor of the chain's deepest folder."""
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(folders):
        fd = reopen(fd, CHAIN_NAME)
    return fd


def search(control, text, sort="name_ascending"):
    """(result count, PATH of the first result) of a search for `text`."""
    for line in ("SORRELWICK search " + text, "SORRELWICK count 1", "SORRELWICK path_column 1",
                 "SORRELWICK sort " + sort,
                 # A query with the options of the last one would send its results again.
                 "SORRELWICK file_list_filename_column %d" % (next(QUERIES) % 2)):
        if not control.command(line).startswith("200 "):
            raise AssertionError(line + " refused")
    reply = control.command("SORRELWICK query")
    count = re.search(r"\r\n RESULT_COUNT (\d+)\r\n", reply)
    path = re.search(r"\r\n PATH ([^\r\n]*)\r\n", reply)
    return int(count.group(1)) if count else None, path.group(1) if path else None


def download(control, path):
    data = connect_data(epsv_port(control.command("EPSV")))
    reply = control.command("RETR " + path)
    if not reply.startswith("150"):
        data.close()
        return None
    body = read_to_end(data)
    return body if control.read_reply().startswith("226") else None


def check_scan(report, server, folders, limit_folder):
    report.note("chain at the path limit", "%d folders, deepest path %d bytes" % (folders, limit_folder))
    scanned = SCANNED.search(server.stderr_text())
    entries = 2 * folders + 3  # the chain's folders and files, the root's own file, the two roots
    report.fact("entries indexed, skipped", "%s, %s" % (scanned.group(1), scanned.group(3)) if scanned else "none",
                "%d, 1" % entries, bool(scanned) and scanned.group(1, 3) == (str(entries), "1"))
    if scanned:
        seconds = float(scanned.group(2))
        report.goal("scan time", "%.2f s" % seconds, "under %.0f s" % SCAN_GOAL, seconds < SCAN_GOAL)
    named = "beyond the system's limit of 4,096 bytes for a path" in server.stderr_text()
    report.fact("the folder holding what is beyond the limit named", "yes" if named else "no", "yes", named)


def check_deepest(report, control, folders):
    count, path = search(control, FILE_NAME, sort="path_descending")
    expected = "\\".join(["deep"] + [CHAIN_NAME] * folders)
    report.fact("files found, PATH of the deepest", "%s, %s" % (count, "whole" if path == expected else repr(
        (path or "")[:40]) + " (%d bytes)" % len(path or "")), "%d, whole" % (folders + 1),
        count == folders + 1 and path == expected)
    body = download(control, "/" + "/".join(["deep"] + [CHAIN_NAME] * folders + [FILE_NAME]))
    report.fact("deepest file downloaded", "yes" if body == FILE_BYTES else "no", "yes", body == FILE_BYTES)


def check_nested(report, server, control, nest_root):
    if len(nest_root) + NESTED * (1 + len(NESTED_NAME)) >= PATH_LIMIT:
        raise AssertionError("the scratch folder's path leaves no room for %d nested folders" % NESTED)
    cpu_before, started = server.cpu_seconds(), time.monotonic()
    make_nested(nest_root, NESTED)
    idle = seconds_until_idle(server, DEADLINE)
    cpu = server.cpu_seconds() - cpu_before
    report.goal("CPU for %d nested folders made while running" % NESTED, "%.2f s (%.1f s until idle)" % (
        cpu, time.monotonic() - started), "under %.0f s" % NESTED_CPU_GOAL, idle is not None and cpu < NESTED_CPU_GOAL)

    def all_found():
        result = search(control, NESTED_NAME, sort="path_descending")
        return result if result[0] == NESTED else None

    try:
        found = wait_until(all_found, timeout=DEADLINE)
    except AssertionError:
        found = search(control, NESTED_NAME, sort="path_descending")
    expected = "\\".join(["nest"] + [NESTED_NAME] * (NESTED - 1))
    report.fact("nested folders found, PATH of the deepest", "%s, %s" % (
        found[0], "whole" if found[1] == expected else "%d bytes" % len(found[1] or "")), "%d, whole" % NESTED,
        found == (NESTED, expected))


def check_live_beyond(report, control, deep_root, folders):
    fd = deepest_chain_folder(deep_root, folders)
    try:
        os.mkdir(LIVE_BEYOND_NAME, dir_fd=fd)
        os.close(os.open(LIVE_MARK, os.O_CREAT | os.O_WRONLY, 0o644, dir_fd=fd))
    finally:
        os.close(fd)
    # The mark is made after the folder: once it is indexed, the folder's note has been applied.
    try:
        wait_until(lambda: search(control, LIVE_MARK)[0] == 1, timeout=DEADLINE)
        marked = True
    except AssertionError:
        marked = False
    count = search(control, LIVE_BEYOND_NAME[:20])[0]
    report.fact("folder made beyond the limit while running, indexed", "%s (mark %s)" % (
        count, "indexed" if marked else "not indexed"), "0 (mark indexed)", marked and count == 0)


def run(context):
    report = context.report
    base = context.scratch.path("deep")
    deep_root, nest_root = os.path.join(base, "chain"), os.path.join(base, "nest")
    try:
        folders, limit_folder = make_chain(deep_root)
        os.makedirs(nest_root)
        server = Server(deep_root + "=deep", args=["--index", nest_root + "=nest"], start_timeout=DEADLINE)
        try:
            check_scan(report, server, folders, limit_folder)
            with logged_on(server.port) as control:
                check_deepest(report, control, folders)
                check_nested(report, server, control, nest_root)
                check_live_beyond(report, control, deep_root, folders)
            alive = answers(server.port)
            report.fact("server answers afterwards", "yes" if alive else "no", "yes", alive)
        finally:
            stop_server(server)
    finally:
        remove_deep_tree(base)
