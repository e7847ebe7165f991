#!/usr/bin/env python3
"""The main job on the real card chain: Krev runs under Wine 10 (in the trixie root) with our
PC/SC SC.dll against pcscd and vpcd's virtual readers; a virtual card is put in and taken out.
Prints, step by step, what a user would see happen."""
import os
import shutil
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "realchain"))
import real_chain  # noqa: E402
from real_chain import inside, is_card_red, only_grey, reader_name, tray_icon, wait_until  # noqa: E402

ROOT = real_chain.wine_env.ROOT
SCREENSHOT = os.path.join(ROOT, "build", "screenshots", "main_job_grey_icon.png")



def state_in_words(word):
    return "a card is in it" if word & 0x20 else "empty" if word & 0x10 else "unknown"


def probe_lines(text):
    """sc_probe's answer: the readers it lists, and each report as (wall-clock ms, words)."""
    readers, reports = [], []
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] == "reader":
            readers.append(bytes.fromhex(parts[1]).decode("cp950"))
        elif len(parts) >= 2 and parts[0] == "report":
            reports.append((int(parts[1]), [int(word, 16) for word in parts[2:]]))
    return readers, reports


def main():
    print("Starting the real card chain: Wine 10 in the trixie root, pcscd with vpcd's two virtual readers ...",
          flush=True)
    chain = real_chain.chain()
    try:
        for line in chain.describe():
            print(line)
        folder = chain.run_folder("main-job", programs=("Krev.exe", "Farrow.exe", "SC.dll", "Go.dll", "CloseKREV.exe"))
        shutil.copy(os.path.join(real_chain.wine_env.HELPERS, "sc_probe.exe"), inside(folder))
        print("Starting Krev.exe with our PC/SC SC.dll in a Wine desktop (a stand-in Pellit.dll publishes version "
              "3.2.0.1: no version server is reachable from here) ...", flush=True)
        krev = chain.start("Krev.exe", folder, desktop=True)
        if not wait_until(lambda: chain.find_window("About Vyx", desktop=True), timeout=60):
            print("FAILED: Krev's main window never appeared")
            return 1
        wait_until(lambda: tray_icon(chain.screen(), is_card_red), timeout=30)
        bits = chain.window_bits("About Vyx", desktop=True)
        print("Krev.exe from %s runs as a %s-bit process." % (os.path.relpath(real_chain.wine_env.DIST, ROOT), bits))
        if bits != (32 if real_chain.wine_env.SHIPPED else 64):
            print("FAILED: Windows does not see Krev.exe as the program of %s" % real_chain.wine_env.DIST)
            return 1
        # The probe asks the card library as Krev's poller does, over the insertion: its first
        # report holds every reader (each is new to it), later ones the readers that changed.
        probe = chain.start("sc_probe.exe", folder, args=("6",))
        probe_out = inside(folder + "/sc_probe.exe.out")
        read_probe = lambda: probe_lines(open(probe_out, "rb").read().decode("ascii", "replace"))
        wait_until(lambda: os.path.exists(probe_out) and read_probe()[1], timeout=30)
        readers, reports = read_probe()
        print("Krev runs: its red card icon is in the notification area. The card library (SC.dll on PC/SC) "
              "lists %s; its first report: %s." % (", ".join(readers) or "no reader",
                                                    ", ".join(state_in_words(w) for w in reports[0][1]) if reports
                                                    else "none"))
        time.sleep(1.0)
        card = chain.insert(0)
        inserted = time.time()
        print("A virtual card was put into the reader '%s'." % reader_name(0), flush=True)
        probe.wait(timeout=30)
        for at_ms, words in read_probe()[1][1:]:
            print("%.2f s after the insertion the card library reported %d reader%s changed: %s."
                  % (at_ms / 1000.0 - inserted, len(words), "" if len(words) == 1 else "s",
                     ", ".join(state_in_words(w) for w in words)))
        if not wait_until(lambda: chain.browser_starts(folder), timeout=15):
            print("FAILED: no browser was started")
            return 1
        wait_until(lambda: len(chain.browser_starts(folder)) >= 2, timeout=5)
        pages = []
        for number, start in enumerate(chain.browser_starts(folder)):
            page = start["command"].split(b'" ', 1)[1].decode("cp950")
            pages.append(page)
            print("%.2f s after the insertion the browser opened %s%s"
                  % (start["at_ms"] / 1000.0 - inserted, page,
                     " (the product's registration page, shown the first time)" if number == 1 else ""))
        expected = [real_chain.wine_env.PORTAL, real_chain.wine_env.REGISTRATION]
        if pages != expected:
            print("FAILED: the pages opened were not %s" % " and ".join(expected))
            return 1
        print("Both pages carry the build's scheme (%s)." % real_chain.wine_env.PAGE_SCHEME.rstrip(":/"))
        with open(inside(folder + "/Reader.ini"), "rb") as settings:
            print("Reader.ini now holds: %r" % settings.read())
        time.sleep(1.0)
        card.remove()
        removed = time.monotonic()
        print("The card was taken out.", flush=True)
        if wait_until(lambda: only_grey(chain.screen()), timeout=5, step=0.1):
            print("After %.1f s the tray icon turned grey." % (time.monotonic() - removed))
            os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
            chain.notification_area_shot(SCREENSHOT)
            print("  (the notification area: %s)" % SCREENSHOT)
        else:
            print("FAILED: the tray icon did not turn grey")
            return 1
        if not wait_until(lambda: tray_icon(chain.screen(), is_card_red), timeout=10, step=0.1):
            print("FAILED: the tray icon did not turn red again")
            return 1
        print("After %.1f s it was red again: the grey icon's ten ticks had run out." % (time.monotonic() - removed))
        chain.probe("post", "About Vyx", 0x111, 57665, 0, desktop=True)
        print("Krev ended with exit code %s after the Exit command." % krev.wait(timeout=30))
        return 0
    finally:
        real_chain.close_chain()


if __name__ == "__main__":
    sys.exit(main())
