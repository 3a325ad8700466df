#!/usr/bin/env python3
"""Runs every benchmark script in this folder (bench/*.py but this one) with --build DIR."""
import argparse
import pathlib
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    args = parser.parse_args()
    here = pathlib.Path(__file__).resolve().parent
    failed = []
    for script in sorted(here.glob("*.py")):
        if script.name == "run.py":
            continue
        print(f"\n## {script.stem}\n", flush=True)
        if subprocess.call([sys.executable, str(script), "--build", args.build]) != 0:
            failed.append(script.name)
    if failed:
        print("\nfailed: " + ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
