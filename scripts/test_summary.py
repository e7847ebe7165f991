#!/usr/bin/env python3
"""The test command's closing line: how many tests of each suite passed, failed and were skipped,
and why a suite skipped. Usage: python3 scripts/test_summary.py LOG_FOLDER"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def read(folder, name):
    path = os.path.join(folder, name)
    return open(path, encoding="utf-8", errors="replace").read() if os.path.exists(path) else None


def native(log):
    """ctest's counts: it counts a skipped test among those that did not fail."""
    if log is None:
        return "unit and card library: not run", []
    counted = re.search(r"(\d+)% tests passed, (\d+) tests? failed out of (\d+)", log)
    if counted is None:
        return "unit and card library: did not finish", []
    failed, total = int(counted.group(2)), int(counted.group(3))
    skipped = re.findall(r"^\s*\d+ - (\S+) \(Skipped\)", log, re.M)
    reasons = []
    for test in skipped:
        reason = os.path.join(ROOT, "build", "native", test + ".skipped")
        if os.path.exists(reason):
            reasons.append("%s: %s" % (test, open(reason).read().strip()))
    return "unit and card library %d passed, %d failed, %d skipped" % (
        total - failed - len(skipped), failed, len(skipped)), reasons


def runner(log, suite):
    if log is None:
        return "%s: not run" % suite
    counted = re.findall(r"^%s: (\d+) passed, (\d+) failed, (\d+) skipped$" % suite, log, re.M)
    if not counted:
        return "%s: did not finish" % suite
    return "%s %s passed, %s failed, %s skipped" % ((suite,) + counted[-1])


def main_job(log):
    """The main job's checks: its exit code, the https portal and registration pages that the
    browser got, the grey icon after the removal and the red one after it."""
    if log is None:
        return "main job: not run"
    checks = [re.search(r"^main job exit code: 0$", log, re.M),
              re.search(r"the browser opened https://\S+/portal/index\.htm$", log, re.M),
              re.search(r"the browser opened https://\S+/reg_reader\.php \(", log, re.M),
              re.search(r"the tray icon turned grey", log),
              re.search(r"it was red again", log)]
    passed = sum(1 for check in checks if check)
    return "main job %d passed, %d failed, 0 skipped" % (passed, len(checks) - passed)


def main():
    folder = sys.argv[1]
    line, reasons = native(read(folder, "unit.log"))
    print("Tests: %s; %s; %s; %s." % (line, runner(read(folder, "wine.log"), "wine"),
                                      runner(read(folder, "realchain.log"), "realchain"),
                                      main_job(read(folder, "mainjob.log"))))
    for reason in reasons:
        print("Skipped: %s." % reason)


if __name__ == "__main__":
    main()
