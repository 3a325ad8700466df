"""Hostile paths: nothing outside the indexed folder is listed, sized, dated or sent through CWD,
LIST, MLSD, SIZE, MDTM, MLST or RETR with `..`, absolute paths, backslashes, encoded forms, NULs
and very long paths, from the root and from a folder. Then a file, folders and at last the indexed
folder itself are replaced by symbolic links to the outside: a download must not follow them."""

import os
import re
import time

from fault_clients import connect_data, logged_on
from fault_server import stop_server
from swp_harness import Server, epsv_port, read_to_end

SECRET = b"OUTSIDE-SECRET-"
INSIDE = {"a.txt": b"inside a", "docs/b.txt": b"inside b", "swap-file.txt": b"inside swap",
          "swap-dir/inner.txt": b"inside inner", "deep/mid/leaf.txt": b"inside leaf"}
# Sizes and a date that nothing inside has: seen in a reply, they tell of an outside file.
OUTSIDE = {"secret.txt": 7331, "secretdir/inner.txt": 7333, "secretdir/leaf.txt": 7335, "secretroot/a.txt": 7337}
OUTSIDE_MTIME = 981_201_600  # noon of 2001-02-03 UTC, that date in every usual time zone
OUTSIDE_MARKS = re.compile(rb"(?i)secret|outside|20010203|\b(%s)\b" % b"|".join(
    b"%d" % size for size in OUTSIDE.values()))
COMMANDS = ["CWD", "SIZE", "MDTM", "MLST", "LIST", "MLSD", "RETR"]
TRANSFERS = ("LIST", "MLSD", "RETR")
STARTING_FOLDERS = ["/", "/share/docs"]
REPLY_DEADLINE = 30.0
SERVED_FOLDERS = {"/", "/share", "/share/docs", "/share/swap-dir", "/share/deep", "/share/deep/mid"}


def hostile_paths(outside):
    """Ways out of the served tree, as bytes."""
    real = outside.encode()
    return [b"..", b"../..", b"../outside", b"../outside/secret.txt", b"/../outside/secret.txt",
            b"/share/../../outside/secret.txt", b"share/../../outside/secretdir", b"../../../../../../etc/passwd",
            b"....//....//outside/secret.txt", b"..\\outside\\secret.txt", b"/share\\..\\..\\outside\\secret.txt",
            b"\\..\\..\\outside", b"\\\\..\\outside", b"//" + real, b"/" + real, real, real + b"/secret.txt",
            real + b"/secretdir", b"file://" + real + b"/secret.txt", b"/etc/passwd", b"/etc", b"/proc/self/environ",
            b"C:\\Windows", b"%2e%2e/outside/secret.txt", b"%2e%2e%2foutside%2fsecret.txt", b"..%2f..%2foutside",
            b"..%5c..%5coutside", b"\xc0\xae\xc0\xae/outside/secret.txt", "\uff0e\uff0e/outside".encode(),
            "..\u2215outside\u2215secret.txt".encode(), b"share/./../../outside/secret.txt",
            b"share/docs/../../../outside", b"share/\x00../../outside/secret.txt", b"../outside/secret.txt\r",
            b"../outside/secret.txt/", b"../outside/secret.txt/.", b".. /outside", b"../outside/./secret.txt",
            b"../" * 50_000 + b"outside/secret.txt", b"a/" * 100_000 + b"../" * 100_001 + b"outside",
            b"share/" + b"x" * 300_000, b"/share/../" * 1000 + b"../outside"]


def leaks(control, command, path):
    """What the command reveals of the outside: a description, or "" for nothing."""
    line = command.encode() + b" " + path + b"\r\n"
    if command in TRANSFERS:
        data = connect_data(epsv_port(control.command("EPSV")), timeout=REPLY_DEADLINE)
        control.send_raw(line)
        reply = control.read_reply_bytes()
        body = b""
        if reply.startswith(b"150"):
            body = read_to_end(data)
            reply += control.read_reply_bytes()
        else:
            data.close()
        return "data" if SECRET in body or OUTSIDE_MARKS.search(body) else ""
    control.send_raw(line)
    reply = control.read_reply_bytes()
    if command == "CWD" and reply.startswith(b"250"):
        where = control.command("PWD")
        control.command("CWD /")
        return "" if folder_is_served(where) else "CWD to " + where.strip()
    return "reply " + repr(reply[:60]) if OUTSIDE_MARKS.search(reply) else ""



def folder_is_served(pwd_reply):
    match = re.fullmatch(r'257 "(.*)" is current directory\.\r\n', pwd_reply)
    return bool(match) and match.group(1) in SERVED_FOLDERS


def make_trees(base):
    served, outside = os.path.join(base, "served"), os.path.join(base, "outside")
    for relative, content in INSIDE.items():
        path = os.path.join(served, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(content)
    for relative, size in OUTSIDE.items():
        path = os.path.join(outside, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write((SECRET * size)[:size])
        os.utime(path, (OUTSIDE_MTIME, OUTSIDE_MTIME))
    return served, outside


def swap_in_links(base, served, outside):
    """Replaces an indexed file, an indexed folder, a folder on the way to an indexed file and at
    last the indexed folder itself by symbolic links to the outside; yields, after each, the path
    that now leads there."""
    os.unlink(os.path.join(served, "swap-file.txt"))
    os.symlink(os.path.join(outside, "secret.txt"), os.path.join(served, "swap-file.txt"))
    yield "/share/swap-file.txt"
    for folder, keep, path in (("swap-dir", "kept-swap-dir", "/share/swap-dir/inner.txt"),
                               ("deep/mid", "kept-mid", "/share/deep/mid/leaf.txt")):
        os.rename(os.path.join(served, folder), os.path.join(base, keep))
        os.symlink(os.path.join(outside, "secretdir"), os.path.join(served, folder))
        yield path
    os.rename(served, os.path.join(base, "kept-served"))
    os.symlink(os.path.join(outside, "secretroot"), served)
    yield "/share/a.txt"


def run(context):
    report = context.report
    base = context.scratch.path("paths")
    served, outside = make_trees(base)
    server = Server(served + "=share")
    try:
        found, unanswered, checks = [], [], 0
        started = time.monotonic()
        control = logged_on(server.port, timeout=REPLY_DEADLINE)
        try:
            for folder in STARTING_FOLDERS:
                for path in hostile_paths(outside):
                    for command in COMMANDS:
                        checks += 1
                        try:
                            control.command("CWD " + folder)
                            leak = leaks(control, command, path)
                        except (OSError, EOFError, AssertionError) as error:
                            unanswered.append("%s %r: %r" % (command, path[:40], error))
                            control.close()
                            control = logged_on(server.port, timeout=REPLY_DEADLINE)
                            continue
                        if leak:
                            found.append("%s %r from %s: %s" % (command, path[:40], folder, leak))
        finally:
            control.close()
        for line in found[:5]:
            print("faults: outside revealed by " + line)
        report.note("hostile path checks", "%d in %.1f s" % (checks, time.monotonic() - started))
        report.fact("outside names, facts or bytes revealed", str(len(found)), "0", not found)
        for line in unanswered[:3]:
            print("faults: not answered: " + line)
        report.fact("hostile path commands not answered", str(len(unanswered)), "0", not unanswered)
        swapped, followed = 0, []
        with logged_on(server.port, timeout=REPLY_DEADLINE) as control:
            for path in swap_in_links(base, served, outside):
                swapped += 1
                if leaks(control, "RETR", path.encode()):
                    followed.append(path)
        report.fact("links swapped in after indexing followed by RETR", "%d of %d%s" % (
            len(followed), swapped, (": " + ", ".join(followed)) if followed else ""), "0", not followed)
    finally:
        stop_server(server)
