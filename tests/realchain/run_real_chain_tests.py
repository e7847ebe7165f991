#!/usr/bin/env python3
"""Runs the real-chain tests under Wine 10 in the trixie root: python3 tests/realchain/run_real_chain_tests.py"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import real_chain  # noqa: E402


def main():
    print("Under Wine 10 in the trixie root: %s." % real_chain.wine_env.PROGRAMS_RUN, flush=True)
    suite = unittest.defaultTestLoader.discover(os.path.dirname(os.path.abspath(__file__)), pattern="test_*.py")
    try:
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        real_chain.close_chain()
    failed = len(result.failures) + len(result.errors)
    print("These tests ran %s." % real_chain.wine_env.PROGRAMS_RUN)
    print("realchain: %d passed, %d failed, %d skipped" % (result.testsRun - failed - len(result.skipped), failed,
                                                    len(result.skipped)))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
