#!/usr/bin/env python3
"""Runs the end-to-end tests under Wine in Xvfb: python3 tests/wine/run_wine_tests.py [pattern]"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_env  # noqa: E402


def main():
    pattern = sys.argv[1] if len(sys.argv) > 1 else "test_*.py"
    print("Under Wine 8 in the bookworm root: %s." % wine_env.PROGRAMS_RUN, flush=True)
    suite = unittest.defaultTestLoader.discover(os.path.dirname(os.path.abspath(__file__)), pattern=pattern)
    try:
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        wine_env.close_machine()
    failed = len(result.failures) + len(result.errors)
    print("These tests ran %s." % wine_env.PROGRAMS_RUN)
    print("wine: %d passed, %d failed, %d skipped" % (result.testsRun - failed - len(result.skipped), failed,
                                                    len(result.skipped)))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
