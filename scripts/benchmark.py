#!/usr/bin/env python3
"""Figures for the card-to-browser path under Wine (run scripts/build.sh first):

  1. the time from the card library's change report (the scripted SC.dll logs it) to the start of
     Farrow.exe (a recorder stands in for it, so its start is timed exactly), over N insertions;
  2. the cost of one window-guard walk: 130 FindWindowA calls with 50 top-level windows open.

Usage: python3 scripts/benchmark.py [insertions, default 20]"""
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import wine_env  # noqa: E402
from wine_env import Recording, wait_until, windows_path, write_card_script  # noqa: E402


def insertion_latencies(wine, insertions):
    folder = wine.run_folder("bench", programs=("Krev.exe", "SC.dll"))
    shutil.copy(os.path.join(wine_env.HELPERS, "recorder.exe"), os.path.join(folder, "Farrow.exe"))
    shutil.copy(os.path.join(wine_env.HELPERS, "fake_pellit.exe"), os.path.join(folder, "Pellit.dll"))
    published = os.path.join(folder, "published.htm")
    with open(published, "w") as page:
        page.write("<p>VersionCheck000=003.002.000.001</p>\n")
    with open(os.path.join(folder, "Reader.ini"), "wb") as settings:
        settings.write(b"[Register]\r\nCheck=OK\r\n")
    sc_log = os.path.join(folder, "sc.log")
    write_card_script(folder, ["empty Reader"])
    krev = wine.start("Krev.exe", folder, PELLIT_SOURCE=windows_path(published), SC_LOG=windows_path(sc_log))
    wait_until(lambda: wine.find_window("About Vyx"))
    log = Recording(os.path.join(folder, "record.log"))
    latencies = []
    for insertion in range(insertions):
        farrow_starts = lambda: [e for e in log.entries() if e["program"].endswith("Farrow.exe")]
        before = len(farrow_starts())
        reports_before = len(open(sc_log).read().splitlines()) if os.path.exists(sc_log) else 0
        write_card_script(folder, ["present Reader"])
        if not wait_until(lambda: len(farrow_starts()) > before, timeout=30):
            raise RuntimeError("insertion %d opened nothing" % insertion)
        with open(sc_log) as reports:
            report = [line for line in reports.read().splitlines()[reports_before:] if line.split()[1] == "22"][0]
        latencies.append(farrow_starts()[-1]["at_ms"] - int(report.split()[0]))
        print("  insertion %2d: %4d ms" % (insertion + 1, latencies[-1]), flush=True)
        write_card_script(folder, ["empty Reader"])
        time.sleep(6.0)  # the grey icon's ten ticks run out before the next card
    wine.probe("send", "About Vyx", 0x111, 57665, 0)
    krev.wait(timeout=30)
    return latencies


def main():
    insertions = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    wine = wine_env.machine()
    try:
        print("Change report to Farrow's start, %d insertions:" % insertions, flush=True)
        latencies = insertion_latencies(wine, insertions)
        print("change report -> Farrow start: median %d ms, worst %d ms, best %d ms (n=%d)"
              % (statistics.median(latencies), max(latencies), min(latencies), len(latencies)))
        walk = subprocess.run([wine_env.WINE, os.path.join(wine_env.HELPERS, "guard_walk.exe")], env=wine.env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
        print(walk.stdout.decode().strip())
    finally:
        wine_env.close_machine()


if __name__ == "__main__":
    main()
