"""The fault suite's table of figures: one row per figure, with its bound and verdict, and the
units the figures are printed in."""

MIB = 1 << 20
PASS, FAIL, GOAL_MET, GOAL_MISSED, NOTE = "pass", "FAIL", "goal met", "goal missed", "-"


class Report:
    """The rows of the final table. Facts decide the verdict; goals (timings) and notes are only
    printed."""

    def __init__(self):
        self.rows = []
        self.case = ""

    def fact(self, name, figure, bound, holds):
        self.rows.append((self.case, name, figure, bound, PASS if holds else FAIL))
        return holds

    def goal(self, name, figure, goal, met):
        self.rows.append((self.case, name, figure, goal, GOAL_MET if met else GOAL_MISSED))

    def note(self, name, figure, bound=""):
        self.rows.append((self.case, name, figure, bound, NOTE))

    def failures(self):
        return [row for row in self.rows if row[4] == FAIL]

    def table(self):
        header = ("case", "name", "figure", "bound", "verdict")
        widths = [max(len(str(row[i])) for row in self.rows + [header]) for i in range(5)]
        lines = []
        for row in [header, tuple("-" * w for w in widths)] + self.rows:
            lines.append("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())
        return "\n".join(lines)


def megabytes(count):
    return "%.1f MB" % (count / MIB)


def percentile(samples, fraction):
    """Nearest-rank percentile of a non-empty list."""
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, max(0, int(round(fraction * len(ordered) + 0.5)) - 1))]


def milliseconds(seconds):
    return "%.1f ms" % (seconds * 1000)
