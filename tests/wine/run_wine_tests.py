#!/usr/bin/env python3
"""Runs the end-to-end tests under Wine in Xvfb:
    python3 tests/wine/run_wine_tests.py [FILE_PATTERN [PART_OF_A_TEST_NAME]]"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import signing_rig  # noqa: E402
import wine_env  # noqa: E402


def main():
    pattern = sys.argv[1] if len(sys.argv) > 1 else "test_*.py"
    print("Under Wine 8 in the bookworm root: %s." % wine_env.PROGRAMS_RUN, flush=True)
    loader = unittest.TestLoader()
    if len(sys.argv) > 2:
        loader.testNamePatterns = ["*%s*" % sys.argv[2]]
    suite = loader.discover(os.path.dirname(os.path.abspath(__file__)), pattern=pattern)
    try:
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        signing_rig.close_signed_build()
        wine_env.close_machine()
    failed = len(result.failures) + len(result.errors)
    print("These tests ran %s." % wine_env.PROGRAMS_RUN)
    print("wine: %d passed, %d failed, %d skipped" % (result.testsRun - failed - len(result.skipped), failed,
                                                    len(result.skipped)))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
