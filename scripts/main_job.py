#!/usr/bin/env python3
"""The main job: Krev runs under Wine in Xvfb with the scriptable card library; a card is put
into the reader, and Krev opens the portal page through Farrow in the recording browser.
Prints each step and what the browser received."""
import ntpath
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import wine_env  # noqa: E402
from wine_env import Recording, wait_until, write_card_script  # noqa: E402


def main():
    print("Setting up Wine (prefix, Xvfb, recording browser for .htm) ...", flush=True)
    wine = wine_env.machine()
    try:
        # The shipped programs; only the card library is the scriptable one (Wine's winscard is a stub).
        folder = wine.run_folder("main-job", programs=("Krev.exe", "Farrow.exe", "SC.dll", "Pellit.dll", "Go.dll",
                                                       "CloseKREV.exe"))
        write_card_script(folder, ["empty Quenby USB Reader"])
        log = Recording(os.path.join(folder, "record.log"))
        print("Starting Krev.exe in %s" % folder, flush=True)
        krev = wine.start("Krev.exe", folder)
        if not wait_until(lambda: wine.find_window("About Vyx")):
            print("FAILED: Krev's main window never appeared")
            return 1
        _, exstyle, visible, pid = wine.find_window("About Vyx")
        print("Krev runs (pid %d): hidden main dialog 'About Vyx' (visible=%s, tool window=%s), tray window %s"
              % (pid, visible, bool(exstyle & 0x80),
                 "present" if wine.find_window("CSystemTray Dummy Window") else "missing"))
        time.sleep(1.0)
        inserted = time.monotonic()
        print("Inserting a card into 'Quenby USB Reader' ...", flush=True)
        write_card_script(folder, ["present Quenby USB Reader"])
        opened = wait_until(lambda: [e for e in log.entries() if e["program"].lower().endswith("browser.exe")])
        if not opened:
            print("FAILED: no browser was started")
            return 1
        print("After %.2f s the browser was started with: %s"
              % (time.monotonic() - inserted, opened[0]["command"].decode("cp950")))
        wait_until(lambda: len(log.entries()) >= 2, timeout=5)
        for entry in log.entries()[1:]:
            print("  then: %s (%s)" % (entry["command"].decode("cp950"), ntpath.basename(entry["program"])))
        with open(os.path.join(folder, "Reader.ini"), "rb") as settings:
            print("Reader.ini now holds: %r" % settings.read())
        version_file = os.path.join(folder, "Ver.chk")
        if wait_until(lambda: os.path.exists(version_file), timeout=15):
            with open(version_file, "rb") as version:
                print("Pellit.dll left Ver.chk holding: %r (no version server is reachable from here)"
                      % version.read())
        wine.probe("send", "About Vyx", 0x111, 57665, 0)
        print("Krev ended with exit code %s after the exit command" % krev.wait(timeout=30))
        return 0
    finally:
        wine_env.close_machine()


if __name__ == "__main__":
    sys.exit(main())
