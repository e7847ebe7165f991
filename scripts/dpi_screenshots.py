#!/usr/bin/env python3
"""The About box and the tray menu at 144 DPI (150 %) under Wine, set through the LogPixels
setting, for docs/: python3 scripts/dpi_screenshots.py (after bash scripts/build.sh).

Krev's manifest keeps it unaware of the display's scaling (the About box is laid out in pixels):
Windows scales such a program's drawing as a whole. Wine scales nothing for it, so these show
what a program sees of 144 DPI itself: the dialog units and the system font grow, the pixels
of the banner, the 14-pixel font and the drawn buttons do not."""
import os
import sys
import time
import subprocess

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import wine_env  # noqa: E402
from wine_env import wait_until  # noqa: E402

DOCS = os.path.join(wine_env.ROOT, "docs")
WM_COMMAND, ID_VERSION, ID_EXIT = 0x111, 57664, 57665


def crop(source, target, left, top, right, bottom):
    subprocess.run(["convert", source, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage",
                    target], check=True)


def main():
    wine = wine_env.machine()
    try:
        wine._quiet([wine_env.WINE, "reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
                     "/d", "144", "/f"])
        folder = wine.run_folder("dpi")
        wine_env.write_card_script(folder, ["empty Quenby USB Reader"])
        wine.desktop = "shell"
        wine.start_in_desktop("Krev.exe", folder)
        if not wait_until(lambda: wine.find_window("About Vyx"), timeout=60):
            print("Krev did not start")
            return 1
        shot = os.path.join(wine.root, "screen.png")
        # The tray menu: the card's pixels in the taskbar, then the menu that a click opens.
        screen = wine.screen()
        spots = [(x, y) for y in range(688, 768) for x in range(724, 1024) if screen[y][x][0] > 150
                 and screen[y][x][1] < 90 and screen[y][x][2] < 90]
        if not spots:
            print("no icon in the notification area")
            return 1
        icon = (sum(x for x, _ in spots) // len(spots), sum(y for _, y in spots) // len(spots))
        wine.click(*icon)
        time.sleep(1.5)
        wine.screenshot(shot)
        crop(shot, os.path.join(DOCS, "tray_menu_144dpi.png"), max(icon[0] - 420, 0), 200, 1024, 768)
        wine.click(300, 200)
        time.sleep(0.5)
        wine.probe("send", "About Vyx", WM_COMMAND, ID_VERSION, 0)
        time.sleep(1.5)
        left, top, right, bottom = map(int, wine.probe("rect", "About Vyx").split())
        wine.screenshot(shot)
        crop(shot, os.path.join(DOCS, "about_box_144dpi.png"), left, top, right, bottom)
        wine.probe("post", "About Vyx", WM_COMMAND, ID_EXIT, 0)
        print("docs/about_box_144dpi.png (%dx%d) and docs/tray_menu_144dpi.png" % (right - left, bottom - top))
        return 0
    finally:
        wine_env.close_machine()


if __name__ == "__main__":
    sys.exit(main())
