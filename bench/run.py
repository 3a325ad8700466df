#!/usr/bin/env python3
"""Runs every benchmark script in this folder (bench/bench_*.py) with --build DIR, gathers the rows
each contributes and prints them as one table, then draws them as one chart (BUILD/bench.png); the
rows stay in BUILD/bench_rows.json."""
import argparse
import os
import pathlib
import subprocess
import sys
import tempfile

import bench_table


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    args = parser.parse_args()
    here = pathlib.Path(__file__).resolve().parent
    failed = []
    rows = []
    with tempfile.TemporaryDirectory(prefix="swp-bench-rows-") as folder:
        for script in sorted(here.glob("bench_*.py")):
            if script.name == "bench_table.py":
                continue
            print("\n## %s\n" % script.stem, flush=True)
            rows_path = os.path.join(folder, script.stem + ".json")
            if subprocess.call([sys.executable, str(script), "--build", args.build, "--rows", rows_path]) != 0:
                failed.append(script.name)
            if os.path.exists(rows_path):
                rows += bench_table.rows_read(rows_path)
    print("\n## All rows\n", flush=True)
    # Kept, so that `python3 bench/bench_table.py BUILD/bench_rows.json` prints and draws them again.
    bench_table.rows_write(os.path.join(args.build, "bench_rows.json"), rows)
    bench_table.table_print(rows)
    print(bench_table.chart_draw(rows, os.path.abspath(os.path.join(args.build, "bench.png"))))
    if failed:
        print("\nfailed: " + ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
