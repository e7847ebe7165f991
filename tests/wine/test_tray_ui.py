"""The tray menu, its commands and the About box, worked with the mouse in a Wine virtual desktop
and checked with screenshots (kept in build/screenshots)."""
import os
import shutil
import time
import unittest

import wine_env
from wine_env import PORTAL, Recording, wait_until, write_card_script

WM_CLOSE = 0x10
WM_COMMAND = 0x111
ID_EXIT = 57665
SCREENSHOTS = os.path.join(wine_env.ROOT, "build", "screenshots")
MENU_LINE = (166, 166, 166)  # the menu's border and separator lines under Wine's default look
# Items between the menu's top border, its four separators and its bottom border.
MENU_BLOCKS = [["網路ATM功能區", "自然人憑證功能區", "查詢電子錢包餘額"], ["Vyx自動連線精靈(開/關)"],
               ["Quenby產品註冊", "客戶服務", "購買Quenby讀卡機"], ["如何使用Vyx", "版本"], ["結束"]]


def is_card_red(pixel):
    r, g, b = pixel
    return r > 150 and g < 90 and b < 90


class TrayUserInterface(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = wine_env.machine()
        cls.wine.desktop = "shell"
        os.makedirs(SCREENSHOTS, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.wine.desktop = None

    def setUp(self):
        self.folder = self.wine.run_folder(self.id().split(".")[-1])
        shutil.copy(os.path.join(self.wine.helpers, "recorder.exe"), os.path.join(self.folder, "Go.dll"))
        shutil.copy(os.path.join(wine_env.HELPERS, "fake_pellit.exe"), os.path.join(self.folder, "Pellit.dll"))
        published = os.path.join(self.folder, "published.htm")
        with open(published, "w") as page:
            page.write("<p>VersionCheck000=003.002.000.001</p>\n")
        write_card_script(self.folder, ["empty Quenby USB Reader"])
        self.log = Recording(os.path.join(self.folder, "record.log"))
        self.wine.start_in_desktop("Krev.exe", self.folder, PELLIT_SOURCE=wine_env.windows_path(published))
        self.assertTrue(wait_until(lambda: self.wine.find_window("About Vyx")))
        self.icon = wait_until(self.find_icon)
        self.assertTrue(self.icon, "Krev's icon never appeared in the taskbar")

    def tearDown(self):
        # Exit waits for an open menu to close: post it, then click the menu away.
        if self.wine.find_window("About Vyx"):
            self.wine.probe("post", "About Vyx", WM_COMMAND, ID_EXIT, 0)
        self.click_desktop()
        self.assertTrue(wait_until(lambda: self.wine.find_window("About Vyx") is None))

    def find_icon(self, screen=None):
        """The centre of the red card in the taskbar's notification area, or None."""
        screen = screen or self.wine.screen()
        spots = [(x, y) for y in range(738, 768) for x in range(824, 1024) if is_card_red(screen[y][x])]
        if len(spots) < 10:
            return None
        return (sum(x for x, _ in spots) // len(spots), sum(y for _, y in spots) // len(spots))

    def click_desktop(self):
        self.wine.click(300, 200)
        time.sleep(0.3)

    def open_menu(self):
        """Clicks the icon; returns the menu's items as {caption: (x, y)} and the screen."""
        before = self.wine.screen()
        self.wine.click(*self.icon)
        shown = wait_until(lambda: self._menu_lines(before, self.wine.screen()), timeout=10)
        self.assertTrue(shown, "the menu did not open")
        left, lines, screen = shown
        items = {}
        for block, (top, bottom) in zip(MENU_BLOCKS, zip(lines, lines[1:])):
            for index, caption in enumerate(block):
                items[caption] = (left + 40, top + (bottom - top) * (2 * index + 1) // (2 * len(block)))
        return items, screen

    @staticmethod
    def _menu_lines(before, after):
        changed = [(x, y) for y in range(0, 740, 2) for x in range(0, 1024, 2) if before[y][x] != after[y][x]]
        if not changed:
            return None
        left = min(x for x, _ in changed)
        while left > 0 and after[min(y for _, y in changed)][left - 1] != before[min(y for _, y in changed)][left - 1]:
            left -= 1
        lines = [y for y in range(min(y for _, y in changed) - 2, 768)
                 if sum(after[y][x] == MENU_LINE for x in range(left + 5, left + 120)) > 100]
        return (left, lines, after) if len(lines) == len(MENU_BLOCKS) + 1 else None

    def choose(self, caption):
        items, _ = self.open_menu()
        self.wine.click(*items[caption])
        time.sleep(0.3)

    def browser_pages(self):
        return [e["command"].split(b'" ', 1)[1].decode("cp950") for e in self.log.entries()
                if e["program"].lower().endswith("browser.exe")]

    def test_the_menu_pops_up_at_the_icon_with_its_fourteen_positions(self):
        items, screen = self.open_menu()
        self.wine.screenshot(os.path.join(SCREENSHOTS, "tray_menu.png"))
        self.assertEqual(len(items), 10)
        self.assertLess(abs(items["結束"][1] - self.icon[1]), 40, "the menu opens at the cursor")
        self.click_desktop()

    def test_each_web_item_reaches_the_browser_with_its_address(self):
        bare, page = wine_env.BARE_PAGE_SCHEME, wine_env.PAGE_SCHEME
        pages = [("網路ATM功能區", PORTAL), ("自然人憑證功能區", bare + "www.quenby.example/moica.htm"),
                 ("查詢電子錢包餘額", bare + "www.quenby.example/checkbalance.htm"),
                 ("Quenby產品註冊", wine_env.REGISTRATION), ("購買Quenby讀卡機", page + "www.quenby.example/product.htm"),
                 ("如何使用Vyx", bare + "www.quenby.example/usevyx.htm")]
        for count, (caption, address) in enumerate(pages, start=1):
            self.choose(caption)
            self.assertTrue(wait_until(lambda: len(self.browser_pages()) == count), caption)
            self.assertEqual(self.browser_pages()[-1], address, caption)

    def test_customer_service_starts_the_mail_starter_shown(self):
        self.choose("客戶服務")
        starts = wait_until(lambda: [e for e in self.log.entries() if e["program"].endswith("Go.dll")])
        self.assertEqual(starts[0]["command"], b"Go.dll mailto:service@quenby.example")
        self.assertEqual(starts[0]["show"], 5)

    def test_switching_auto_connect_off_removes_the_tick_at_the_next_display(self):
        items, screen = self.open_menu()
        x, y = items["Vyx自動連線精靈(開/關)"]
        tick_area = lambda shot: sum(1 for yy in range(y - 6, y + 7) for xx in range(x - 40, x - 20)
                                     if sum(shot[yy][xx]) < 200)
        self.assertGreater(tick_area(screen), 5, "the item is ticked at start")
        self.wine.click(x, y)
        time.sleep(0.5)
        items, screen = self.open_menu()
        self.assertEqual(tick_area(screen), 0, "the tick is gone once switched off")
        self.click_desktop()
        write_card_script(self.folder, ["present Quenby USB Reader"])
        time.sleep(2.0)
        self.assertEqual(self.browser_pages(), [], "nothing opens while switched off")

    def test_the_about_box_shows_centred_and_its_ok_button_hides_it_with_the_timer_running(self):
        self.choose("版本")
        about = wait_until(lambda: (self.wine.find_window("About Vyx") or (0, 0, False, 0))[2])
        self.assertTrue(about, "the About box was not shown")
        time.sleep(0.5)
        self.wine.screenshot(os.path.join(SCREENSHOTS, "about_box.png"))
        left, top, right, bottom = map(int, self.wine.probe("rect", "About Vyx").split())
        self.assertLess(abs((left + right) // 2 - 512), 3)
        # Esc and Alt+F4 do nothing, as on Windows, where the disabled Cancel button keeps the
        # dialog manager from cancelling (Wine's would, and that would stop the timer).
        self.wine.click((left + right) // 2, top + 8)
        for keys in ("Escape", "alt+F4"):
            self.wine.key(keys)
            time.sleep(1.0)
            self.assertTrue(self.wine.find_window("About Vyx")[2], "%s closed the About box" % keys)
        ok_left, ok_top, ok_right, ok_bottom = map(int, self.wine.probe("rect", "About Vyx", 1000).split())
        self.wine.click((ok_left + ok_right) // 2, (ok_top + ok_bottom) // 2)
        self.assertTrue(wait_until(lambda: not self.wine.find_window("About Vyx")[2]))
        write_card_script(self.folder, ["present Quenby USB Reader"])
        self.assertTrue(wait_until(self.browser_pages), "the timer kept running after OK")

    def test_a_double_click_on_the_web_address_button_opens_the_home_page_once(self):
        self.choose("版本")
        self.assertTrue(wait_until(lambda: (self.wine.find_window("About Vyx") or (0, 0, False, 0))[2]))
        left, top, right, bottom = map(int, self.wine.probe("rect", "About Vyx", 1007).split())
        self.wine.click((left + right) // 2, (top + bottom) // 2, times=2)
        self.assertTrue(wait_until(self.browser_pages))
        time.sleep(2.0)
        self.assertEqual(self.browser_pages(), [wine_env.BARE_PAGE_SCHEME + "www.quenby.example"],
                         "the double-click's second half opened nothing")

    def taskbar(self, screen):
        """The taskbar's buttons, left of the notification area."""
        return [screen[y][x] for y in range(740, 768, 2) for x in range(0, 780, 2)]

    def test_the_reader_dialog_shows_with_its_caption_over_the_desktop_owned_and_without_a_taskbar_button(self):
        write_card_script(self.folder, ["empty Quenby USB Reader", "empty 晶片讀卡機 02"])
        taskbar_before = self.taskbar(self.wine.screen())
        self.wine.probe("post", "About Vyx", WM_COMMAND, 32783, 0)
        dialog = "Vyx - Select Reader"
        self.assertTrue(wait_until(lambda: (self.wine.find_window(dialog) or (0, 0, False))[2]))
        time.sleep(0.5)
        self.wine.screenshot(os.path.join(SCREENSHOTS, "reader_dialog.png"))
        self.assertTrue(self.taskbar(self.wine.screen()) == taskbar_before, "the dialog got a taskbar button")
        self.assertEqual(self.wine.probe("owner", dialog), wine_env.hex_of("About Vyx"))
        left, top, right, bottom = map(int, self.wine.probe("rect", dialog).split())
        self.assertLess(abs((left + right) // 2 - 512), 3, "centred")
        self.wine.probe("post", dialog, WM_CLOSE, 0, 0)  # a close request acts as Cancel
        self.assertTrue(wait_until(lambda: not self.wine.find_window(dialog)[2]))
        self.assertFalse(os.path.exists(os.path.join(self.folder, "Reader.ini")))

    def test_the_icon_comes_back_after_the_shell_restarts(self):
        # As when Explorer crashes: the icon is lost; the new taskbar announces itself.
        self.wine.probe("untray", "CSystemTray Dummy Window", 129)
        self.assertTrue(wait_until(lambda: self.find_icon() is None), "the icon was not removed")
        self.wine.probe("taskbar-created", "")
        self.icon = wait_until(self.find_icon)
        self.assertTrue(self.icon, "the icon did not come back")
        items, _ = self.open_menu()
        self.assertIn("結束", items, "the icon that came back shows no menu")
        self.click_desktop()

    def test_exit_removes_the_icon_and_ends_krev(self):
        self.choose("結束")
        self.assertTrue(wait_until(lambda: self.wine.find_window("About Vyx") is None))
        self.assertTrue(wait_until(lambda: self.find_icon() is None), "the icon is still in the taskbar")


if __name__ == "__main__":
    unittest.main()
