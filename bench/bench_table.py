"""The one benchmark table: rows that each bench script contributes, printed as one Markdown table
and drawn as one chart.

A row is a plain dict:
    work      what was measured ("1,000 x 4 KiB RETR, one control connection (ftplib)")
    unit      "s", "ms", "us", "GB/s", "MB", "B/entry", ...
    better    "lower" or "higher"
    samples   {server: [value, ...]}; swp-host's values under SWP, a server that did not run is absent
    goal      {"text": ..., "limit": number}, {"text": ..., "peer": name, "factor": f} or
              {"text": ..., "best": True} (the best peer's median); optional
    note      optional words on the row (why a peer is missing, what the figure counts)
    expected  the servers the row is measured on; the chart notes each one that did not run

Each script writes its rows with rows_write() when given --rows FILE, and prints them with
table_print() when run on its own; bench/run.py gathers every script's rows and prints one table."""

import json
import os
import shutil
import statistics
import subprocess

SWP = "swp-host"
PEERS = ("vsftpd", "pure-ftpd", "pyftpdlib", "plocate", "find", "copy loop", "send loop", "echo floor",
         "each alone")
# Columns that are no server but a bound to compare with; they are never the best peer.
REFERENCES = ("find", "copy loop", "send loop", "echo floor", "each alone")


def row(work, unit, better, samples, goal=None, note=None, expected=None):
    return {"work": work, "unit": unit, "better": better, "samples": samples, "goal": goal, "note": note,
            "expected": list(expected or [])}


def rows_write(path, rows):
    with open(path, "w") as out:
        json.dump(rows, out)


def rows_read(path):
    with open(path) as source:
        return json.load(source)


def median(values):
    return statistics.median(values) if values else None


def columns(rows):
    """The servers that appear in any row, swp-host first, then the peers in their fixed order."""
    seen = {name for r in rows for name in list(r["samples"]) + r.get("expected", [])}
    return [SWP] + [name for name in PEERS if name in seen] + sorted(seen - set(PEERS) - {SWP})


def best_peer(r):
    """(name, median) of the best peer in the row, or (None, None)."""
    peers = [(name, median(values)) for name, values in r["samples"].items()
             if name != SWP and name not in REFERENCES and values]
    if not peers:
        return None, None
    pick = min if r["better"] == "lower" else max
    return pick(peers, key=lambda pair: pair[1])


def goal_limit(r):
    """The value swp-host's median must reach, or None when the row has no goal or its peer is missing."""
    goal = r.get("goal")
    if not goal:
        return None
    if "limit" in goal:
        return goal["limit"]
    if goal.get("best"):
        return best_peer(r)[1]
    peer = median(r["samples"].get(goal["peer"], []))
    return None if peer is None else peer * goal.get("factor", 1.0)


def goal_met(r):
    limit = goal_limit(r)
    ours = median(r["samples"].get(SWP, []))
    if limit is None or ours is None:
        return None
    return ours <= limit if r["better"] == "lower" else ours >= limit


def number(value):
    if value is None:
        return "n/a"
    magnitude = abs(value)
    digits = 0 if magnitude >= 1000 else 1 if magnitude >= 100 else 2 if magnitude >= 1 else 3
    return "{:,.{}f}".format(value, digits)


def cell(values):
    if not values:
        return "—"
    if len(values) == 1:
        return number(values[0])
    return "%s (%s–%s)" % (number(median(values)), number(min(values)), number(max(values)))


def table_print(rows, out=None):
    names = columns(rows)
    lines = ["| work | unit | " + " | ".join(names) + " | best peer | swp/best | goal | met |",
             "|---" * (len(names) + 6) + "|"]
    notes = []
    for r in rows:
        ours = median(r["samples"].get(SWP, []))
        peer_name, peer_value = best_peer(r)
        ratio = "n/a" if ours is None or not peer_value else "%.2f" % (ours / peer_value)
        met = goal_met(r)
        mark = "" if met is None else ("yes" if met else "**MISSED**")
        goal_text = (r.get("goal") or {}).get("text", "")
        work = r["work"] + ("" if met is not False else " **(missed)**")
        if r.get("note"):
            notes.append("- %s: %s" % (r["work"], r["note"]))
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            work, r["unit"], " | ".join(cell(r["samples"].get(name, [])) for name in names),
            peer_name or "—", ratio, goal_text, mark))
    text = "Medians of interleaved rounds, with (min–max); — : not run.\n\n" + "\n".join(lines)
    if notes:
        text += "\n\n" + "\n".join(notes)
    print(text, file=out, flush=True)


# ---- the chart ---------------------------------------------------------------------------------

def chart_draw(rows, path):
    """One bar chart per row (median bars with min–max whiskers, one bar per server the row is
    measured on), in a grid in one PNG. A server that did not run keeps its place with a note."""
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None or not rows:
        return "(gnuplot is not installed: no chart)" if gnuplot is None else "(no rows: no chart)"
    data = path + ".dat"
    row_names = [columns([r]) for r in rows]
    with open(data, "w") as out:
        for index, (r, names) in enumerate(zip(rows, row_names)):
            out.write("# %d %s\n" % (index, r["work"]))
            for position, name in enumerate(names):
                values = r["samples"].get(name, [])
                if values:
                    out.write('%d "%s" %r %r %r\n' % (position, name, median(values), min(values), max(values)))
                else:
                    out.write('%d "%s" NaN NaN NaN\n' % (position, name))
            out.write("\n\n")
    per_row = 3
    grid_rows = (len(rows) + per_row - 1) // per_row
    script = [terminal_line(gnuplot, 1500, 330 * grid_rows), "set output '%s'" % path,
              "set multiplot layout %d,%d" % (grid_rows, per_row),
              "set style fill solid 0.8 border -1", "set boxwidth 0.6", "set grid ytics",
              "set xtics font ',10'", "set key off", "set yrange [0:*]"]
    for index, (r, names) in enumerate(zip(rows, row_names)):
        script += ["unset label", "set xrange [-0.6:%f]" % (len(names) - 0.4)]
        if not any(r["samples"].values()):
            # gnuplot refuses a plot without a single value: an empty frame says so instead.
            script += ['set title "%s\\n(not run)" font ",10"' % r["work"].replace('"', "'"),
                       "set yrange [0:1]", "plot -1 notitle", "set yrange [0:*]"]
            continue
        for position, name in enumerate(names):
            if not r["samples"].get(name):
                script.append("set label 'not run' at %d, graph 0.08 center font ',9'" % position)
        limit = goal_limit(r)
        goal = "" if limit is None else ", %r with lines dashtype 2 lw 2 lc rgb 'red'" % limit
        title = "%s\\n(%s, %s is better%s)" % (
            r["work"].replace('"', "'"), r["unit"], r["better"], "; dashed: goal" if goal else "")
        script.append('set title "%s" font ",10"' % title)
        script.append(
            "plot '%s' index %d using 1:3:xtic(2) with boxes lc rgb '#4a7fb5', "
            "'' index %d using 1:3:4:5 with yerrorbars lc rgb 'black' pt 0%s" % (data, index, index, goal))
    script += ["unset multiplot", ""]
    result = subprocess.run([gnuplot], input="\n".join(script).encode(), capture_output=True)
    if result.returncode != 0:
        return "(gnuplot failed: %s)" % result.stderr.decode(errors="replace").strip()[:500]
    return "Chart: %s" % path


def terminal_line(gnuplot, width, height):
    listed = subprocess.run([gnuplot, "-e", "set terminal"], capture_output=True)
    kind = "pngcairo" if b"pngcairo" in listed.stdout + listed.stderr else "png"
    return "set terminal %s size %d,%d" % (kind, width, height)


def add_arguments(parser):
    parser.add_argument("--rows", help="write the rows as JSON to this file instead of printing the table")


def finish(rows, args, chart_path):
    """Writes the rows for run.py, or prints the table and draws the chart when run alone."""
    if getattr(args, "rows", None):
        rows_write(args.rows, rows)
        return
    table_print(rows)
    print(chart_draw(rows, chart_path))


if __name__ == "__main__":
    import sys
    gathered = []
    for name in sys.argv[1:]:
        gathered += rows_read(name)
    table_print(gathered)
    print(chart_draw(gathered, os.path.abspath("bench.png")))
