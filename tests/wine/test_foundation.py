"""Krev's start-up, tray callback and exit, and Farrow, under Wine."""
import os
import shutil
import time
import unittest

import wine_env
from wine_env import PORTAL, Recording, wait_until, windows_path, write_card_script

WS_EX_TOOLWINDOW = 0x80
WS_EX_APPWINDOW = 0x40000
WM_COMMAND = 0x111
WM_TRAY_NOTIFY = 1135
WM_LBUTTONDBLCLK = 0x203
ID_EXIT = 57665


class KrevUnderWine(unittest.TestCase):
    def setUp(self):
        self.wine = wine_env.machine()
        self.folder = self.wine.run_folder(self.id().split(".")[-1])
        write_card_script(self.folder, ["empty Reader One"])
        self.log = Recording(os.path.join(self.folder, "record.log"))
        self.krevs = []

    def tearDown(self):
        # Whatever a test left running ends here, through the product's own exit command.
        for _ in self.krevs:
            self.wine.probe("send", "About Vyx", WM_COMMAND, ID_EXIT, 0)
        for krev in self.krevs:
            try:
                krev.wait(timeout=10)
            except Exception:
                krev.kill()
        self.assertIsNone(self.wine.find_window("About Vyx"), "a Krev outlived its test")

    def start_krev(self):
        krev = self.wine.start("Krev.exe", self.folder)
        self.krevs.append(krev)
        self.assertTrue(wait_until(lambda: self.wine.find_window("About Vyx")),
                        "Krev's main window never appeared (exit code %s)" % krev.poll())
        return krev

    def browser_starts(self):
        return [e for e in self.log.entries() if e["program"].lower().endswith("browser.exe")]

    def test_the_main_dialog_is_a_hidden_tool_window_and_the_tray_window_exists(self):
        self.start_krev()
        style, exstyle, visible, _ = self.wine.find_window("About Vyx")
        self.assertTrue(exstyle & WS_EX_TOOLWINDOW)
        self.assertFalse(exstyle & WS_EX_APPWINDOW)
        self.assertFalse(visible)
        tray = self.wine.find_window("CSystemTray Dummy Window")
        self.assertIsNotNone(tray)
        self.assertFalse(tray[2])

    def test_a_second_krev_starts_the_closer_once_hidden_and_still_starts(self):
        closer = os.path.join(self.folder, "CloseKREV.exe")
        shutil.copy(os.path.join(self.wine.helpers, "recorder.exe"), closer)
        self.start_krev()
        time.sleep(0.5)
        self.assertEqual(self.log.entries(), [], "the first instance must not start the closer")
        second = self.wine.start("Krev.exe", self.folder)
        self.krevs.append(second)
        self.assertTrue(wait_until(lambda: self.wine.probe("count", "About Vyx") == "2"))
        starts = wait_until(self.log.entries)
        self.assertEqual(len(starts), 1)
        self.assertTrue(starts[0]["program"].endswith("CloseKREV.exe"))
        self.assertEqual(starts[0]["show"], 0)
        self.assertEqual(starts[0]["command"], b"CloseKREV.exe")

    def test_a_double_click_callback_opens_the_portal_through_farrow(self):
        self.start_krev()
        self.assertEqual(self.wine.probe("send", "CSystemTray Dummy Window", WM_TRAY_NOTIFY, 129, WM_LBUTTONDBLCLK),
                         "1")
        starts = wait_until(self.browser_starts)
        self.assertEqual(len(starts), 1)
        command = starts[0]["command"]
        self.assertEqual(command, b'"%s" %s' % (windows_path(self.wine.browser).encode(), PORTAL.encode()))
        self.assertEqual(starts[0]["show"], 5)
        self.assertEqual(os.path.normcase(starts[0]["directory"]), os.path.normcase(windows_path(self.folder)))

    def test_a_callback_for_another_icon_does_nothing(self):
        self.start_krev()
        self.assertEqual(self.wine.probe("send", "CSystemTray Dummy Window", WM_TRAY_NOTIFY, 130, WM_LBUTTONDBLCLK),
                         "0")
        time.sleep(1.0)
        self.assertEqual(self.browser_starts(), [])

    def test_exit_removes_the_icon_and_ends_the_process(self):
        krev = self.start_krev()
        self.wine.probe("send", "About Vyx", WM_COMMAND, ID_EXIT, 0)
        self.assertEqual(krev.wait(timeout=10), 0)
        self.krevs.remove(krev)
        self.assertIsNone(self.wine.find_window("CSystemTray Dummy Window"))
        self.assertIsNone(self.wine.find_window("About Vyx"))


class FarrowUnderWine(unittest.TestCase):
    def setUp(self):
        self.wine = wine_env.machine()
        self.folder = self.wine.run_folder(self.id().split(".")[-1], programs=("Farrow.exe",))
        self.log = Recording(os.path.join(self.folder, "record.log"))

    def run_raw(self, line):
        """Starts Farrow with exactly this command line and returns its exit code."""
        answer = self.wine.probe("run", line, folder=self.folder)
        self.assertTrue(answer.startswith("exit "), answer)
        return int(answer.split()[1])

    def test_the_tail_reaches_the_browser_byte_for_byte(self):
        farrow = windows_path(os.path.join(self.folder, "Farrow.exe")).encode()
        tail = b'"a b"  %s %d%% http://x.example/?q=1  '
        self.assertEqual(self.run_raw(b'"' + farrow + b'" \t  ' + tail), 0)
        starts = wait_until(self.log.entries)
        self.assertEqual(len(starts), 1)
        self.assertEqual(starts[0]["command"], b'"' + windows_path(self.wine.browser).encode() + b'" ' + tail)

    def test_a_long_tail_with_big5_text_arrives_whole(self):
        farrow = windows_path(os.path.join(self.folder, "Farrow.exe")).encode()
        tail = "http://x.example/網路ATM?".encode("cp950") + b"z" * 4000
        self.assertEqual(self.run_raw(b'"' + farrow + b'" ' + tail), 0)
        starts = wait_until(self.log.entries)
        self.assertEqual(starts[0]["command"].split(b" ", 1)[1], tail)

    def test_the_https_handler_starts_the_htm_handler_only_where_https_has_none_and_else_nothing(self):
        editor = os.path.join(self.wine.helpers, "editor.exe")
        shutil.copy(self.wine.browser, editor)
        farrow = b'"' + windows_path(os.path.join(self.folder, "Farrow.exe")).encode() + b'" ' + PORTAL.encode()
        self.wine.register_handler(".htm", "krevtesteditor", editor)
        try:
            self.assertEqual(self.run_raw(farrow), 0)
            self.assertTrue(wait_until(lambda: len(self.log.entries()) == 1))
            # Windows XP without an https association.
            self.wine.unregister_handler("https")
            self.assertEqual(self.run_raw(farrow), 0)
            self.assertTrue(wait_until(lambda: len(self.log.entries()) == 2))
            os.remove(os.path.join(self.folder, "DefaultCheck.htm"))
            self.assertEqual(self.run_raw(farrow), 0)
            time.sleep(1.0)
        finally:
            self.wine.register_handler("https", None, self.wine.browser)
            self.wine.register_handler(".htm", "krevtesthtml", self.wine.browser)
        programs = [e["command"].split(b'" ', 1)[0] + b'"' for e in self.log.entries()]
        self.assertEqual(programs, [b'"%s"' % windows_path(p).encode() for p in (self.wine.browser, editor)])


    def test_an_https_handler_that_cannot_be_started_leaves_the_products_page_to_the_shell(self):
        # The program Windows names for https cannot start (here a file that is no program; on
        # Windows a packaged browser), while the shell opens https addresses through the
        # protocol's own command: the recording browser.
        broken = os.path.join(self.folder, "broken.exe")
        with open(broken, "w") as text:
            text.write("not a program\n")
        self.wine._quiet([wine_env.WINE, "reg", "add", "HKCR\\https", "/ve", "/d", "KrevBrokenBrowser", "/f"])
        self.wine.register_handler(".krevbroken", "KrevBrokenBrowser", broken)
        farrow = b'"' + windows_path(os.path.join(self.folder, "Farrow.exe")).encode() + b'" '
        try:
            self.assertEqual(self.run_raw(farrow + PORTAL.encode()), 0)
            self.assertTrue(wait_until(lambda: self.log.entries()), "the shell opened nothing")
            # A text that is no address of the product's never reaches the shell.
            self.assertEqual(self.run_raw(farrow + b"https://other.example/"), 0)
            time.sleep(1.5)
        finally:
            self.wine.unregister_handler("https")
            self.wine.register_handler("https", None, self.wine.browser)
        # The protocol's command, "%1" quoted: the shell's start, not Farrow's.
        shell_start = b'"%s" "%s"' % (windows_path(self.wine.browser).encode(), PORTAL.encode())
        self.assertEqual([e["command"] for e in self.log.entries()], [shell_start])


if __name__ == "__main__":
    unittest.main()
