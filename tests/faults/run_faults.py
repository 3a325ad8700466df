#!/usr/bin/env python3
"""The fault suite: starts the real swp-host on loopback over generated trees and drives it with
hostile lines, aborted downloads, connection storms, a low descriptor limit, greedy and slow
readers, heavy searches, hostile paths, stops under load and trees as deep as a path can go.
Prints one table of figures at the end; exits 1 when a fact (not a timing) fails.

    run_faults.py [--build DIR] [--large yes|no|auto] [CASE...]    (CASE: a name below, or a prefix of one)
"""

import argparse
import importlib
import os
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "e2e")]

CASES = ["hostile_lines", "aborted_downloads", "storms", "descriptor_limit", "prelogin_flood", "idle_lockout",
         "readers", "regex", "hostile_paths", "stop_under_load", "deep_tree"]


class Context:
    def __init__(self, report, scratch, large):
        self.report, self.scratch, self.large = report, scratch, large


def chosen_cases(names):
    if not names:
        return CASES
    chosen = [case for case in CASES if any(case.startswith(name) for name in names)]
    unknown = [name for name in names if not any(case.startswith(name) for case in CASES)]
    if unknown:
        sys.exit("run_faults: no case named %s; cases: %s" % (", ".join(unknown), ", ".join(CASES)))
    return chosen


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "..", "build"))
    parser.add_argument("--large", choices=("yes", "no", "auto"), default="auto",
                        help="run the slow readers on a tree of 1,000,000 entries too (auto: when the tree "
                             "can be made in memory)")
    parser.add_argument("cases", nargs="*")
    options = parser.parse_args()
    os.environ["SWP_BUILD_DIR"] = os.path.abspath(options.build)
    # Imported only now: the e2e harness reads SWP_BUILD_DIR when it is first imported.
    from fault_figures import Report
    from fault_trees import Scratch

    report = Report()
    scratch = Scratch()
    context = Context(report, scratch, options.large)
    started = time.monotonic()
    try:
        for name in chosen_cases(options.cases):
            report.case = name
            case_started = time.monotonic()
            print("faults: %s ..." % name, flush=True)
            try:
                importlib.import_module("case_" + name).run(context)
            except Exception:  # noqa: B902 - a case that breaks is a failed case, the others still run
                traceback.print_exc()
                report.fact("case ran to its end", "raised " + traceback.format_exc().strip().splitlines()[-1],
                            "no exception", False)
            report.note("case time", "%.1f s" % (time.monotonic() - case_started))
            print("faults: %s done in %.1f s" % (name, time.monotonic() - case_started), flush=True)
    finally:
        scratch.remove()
    print()
    print(report.table())
    failures = report.failures()
    print()
    # The failures again, last: a log shown only by its tail still names them.
    for case, name, figure, bound, _ in failures:
        print("faults: FAIL %s: %s: %s (bound: %s)" % (case, name, figure, bound))
    print("faults: %d rows, %d failed, %.0f s in total" % (len(report.rows), len(failures),
                                                         time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
