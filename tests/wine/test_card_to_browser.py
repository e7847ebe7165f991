"""A card insertion under Wine: the portal and registration pages, the version check, the Web
ATM window guard, and the reader dialog."""
import os
import shutil
import subprocess
import time
import unittest

import wine_env
from wine_env import PORTAL, REGISTRATION, Recording, wait_until, windows_path, write_card_script

WM_COMMAND = 0x111
ID_EXIT = 57665
ID_SELECT_READER = 32783
ID_AUTO_CONNECT = 32772
CB_GETCOUNT = 0x146
CB_GETCURSEL = 0x147
CB_SETCURSEL = 0x14E
NEW_VERSION = wine_env.PAGE_SCHEME + "www.quenby.example/newvn/000.htm"
FETCH = ("Pellit.dll %swww.quenby.example/version/check.htm" % wine_env.PAGE_SCHEME).encode()


ID_APP_ABOUT = 57664
DAMAGED_FILES = "Vyx程式可能缺少完整檔案或是發生檔案損毀，請先移除後再重新完整安裝。"


class KrevWithCardScript(unittest.TestCase):
    """A run folder with Krev, Farrow, the scriptable SC.dll and a stand-in Pellit.dll."""

    REGISTERED_BROWSER = "HKLM\\Software\\Clients\\StartMenuInternet\\KrevTestBrowser"

    # Windows' language for non-Unicode programs, which Wine takes from the locale: the machine's
    # is Chinese (Taiwan), code page 950.
    LOCALE = None

    def setUp(self):
        self.wine = wine_env.machine()
        self.folder = self.wine.run_folder(".".join(self.id().split(".")[-2:]))
        shutil.copy(os.path.join(wine_env.HELPERS, "fake_pellit.exe"), os.path.join(self.folder, "Pellit.dll"))
        self.published = os.path.join(self.folder, "published.htm")
        self.publish("003.002.000.001")
        write_card_script(self.folder, ["empty Quenby USB Reader"])
        self.log = Recording(os.path.join(self.folder, "record.log"))
        self.krev = None
        self.holders = []

    def tearDown(self):
        for stop_file, holder in self.holders:
            open(stop_file, "w").close()
            holder.wait(timeout=30)
        if self.krev is not None:
            self.wine.probe("send", "About Vyx", WM_COMMAND, ID_EXIT, 0)
            try:
                code = self.krev.wait(timeout=30)
            except subprocess.TimeoutExpired:
                # A failed test may leave Krev held by its message box: it must not outlive the test.
                self.krev.kill()
                self.krev.wait()
                raise
            self.assertEqual(code, 0)

    def publish(self, version):
        with open(self.published, "w") as page:
            page.write("<html>\r\n<p>VersionCheck000=%s</p>\r\n</html>\r\n" % version)

    def registered(self):
        with open(os.path.join(self.folder, "Reader.ini"), "wb") as settings:
            settings.write(b"[Register]\r\nCheck=OK\r\n")

    def locale(self):
        return dict(LANG=self.LOCALE, LC_ALL=self.LOCALE) if self.LOCALE else {}

    def start_krev(self, **extra):
        self.krev = self.wine.start("Krev.exe", self.folder, PELLIT_SOURCE=windows_path(self.published),
                                    **self.locale(), **extra)
        self.assertTrue(wait_until(lambda: self.wine.find_window("About Vyx")))
        time.sleep(0.5)  # the poller has seen the empty reader

    def insert(self):
        write_card_script(self.folder, ["present Quenby USB Reader"])

    def remove(self):
        write_card_script(self.folder, ["empty Quenby USB Reader"])

    def pages(self):
        prefix = b'"' + windows_path(self.wine.browser).encode() + b'" '
        return [e["command"][len(prefix):].decode("cp950") for e in self.log.entries()
                if e["command"].startswith(prefix)]

    # A window of a browser's class is a browser's only when its program is one: by default a copy
    # of the probe named as the browser of that class is.
    BROWSER_OF_CLASS = {"Chrome_WidgetWin_1": "chrome.exe", "MozillaWindowClass": "firefox.exe"}

    def hold_window(self, title, window_class=None, program=None, registered=False):
        stop_file = os.path.join(self.folder, "stop-%d" % len(self.holders))
        program = program or self.BROWSER_OF_CLASS.get(window_class, "winprobe.exe")
        folder = os.path.join(self.folder, "programs", str(len(self.holders)))
        os.makedirs(folder)
        shutil.copy(os.path.join(self.wine.helpers, "winprobe.exe"), os.path.join(folder, program))
        if registered:
            # As a browser's installer registers it ("How to Register an Internet Browser or Email
            # Client With the Windows Start Menu").
            self.wine._quiet([wine_env.WINE, "reg", "add", self.REGISTERED_BROWSER + "\\shell\\open\\command", "/ve",
                              "/d", '"%s"' % windows_path(os.path.join(folder, program)), "/f"])
            self.addCleanup(self.wine._quiet, [wine_env.WINE, "reg", "delete", self.REGISTERED_BROWSER, "/f"])
        # Titled in UTF-16, as a browser titles its windows on any Windows, of the browser's class.
        holder = self.wine.start(os.path.join(folder, program), self.folder,
                                 args=["hold", "w" + title.encode("utf-16-le").hex() if self.LOCALE or window_class
                                       else wine_env.hex_of(title), windows_path(stop_file)] +
                                 ([window_class] if window_class else []), **self.locale())
        self.holders.append((stop_file, holder))
        self.assertTrue(wait_until(lambda: self.wine.find_window(title)))
        return stop_file


class CardToBrowser(KrevWithCardScript):
    def test_thunderbirds_and_visual_studio_codes_windows_hold_nothing_back_a_registered_browsers_does(self):
        self.registered()
        self.start_krev()
        # A mail whose subject is a page's, and a file named like one, in Firefox's and Chromium's classes.
        self.hold_window("轉帳 - Mozilla Thunderbird", "MozillaWindowClass", "thunderbird.exe")
        self.hold_window("主選單 - Visual Studio Code", "Chrome_WidgetWin_1", "Code.exe")
        browser = self.hold_window("餘額查詢 - Some Browser", "Chrome_WidgetWin_1", "somebrowser.exe", registered=True)
        self.insert()
        time.sleep(2.5)
        self.assertEqual(self.pages(), [], "the registered browser's banking page")
        open(browser, "w").close()
        self.assertTrue(wait_until(lambda: self.pages()), "Thunderbird or Visual Studio Code held the opening back")
        self.assertEqual(self.pages(), [PORTAL])


    def test_an_insertion_opens_the_portal_then_the_registration_page_then_checks_the_version(self):
        self.start_krev()
        self.insert()
        self.assertTrue(wait_until(lambda: any(e["command"] == FETCH for e in self.log.entries())))
        self.assertEqual(self.pages(), [PORTAL, REGISTRATION])
        entries = self.log.entries()
        self.assertEqual([e["command"] for e in entries][-1], FETCH)
        self.assertTrue(all(e["show"] == 0 for e in entries if e["command"] == FETCH))
        with open(os.path.join(self.folder, "Reader.ini"), "rb") as settings:
            self.assertEqual(settings.read(), b"[Register]\r\nCheck=OK\r\n")
        time.sleep(1.5)
        self.assertEqual(self.pages(), [PORTAL, REGISTRATION], "one insertion opens its pages once")

    def test_a_published_newer_version_makes_the_next_insertion_open_the_new_version_page(self):
        self.registered()
        self.publish("003.002.000.002")
        self.start_krev()
        self.insert()
        self.assertTrue(wait_until(lambda: any(e["command"] == FETCH for e in self.log.entries())))
        self.assertEqual(self.pages(), [PORTAL])
        self.remove()
        time.sleep(6.5)  # the grey icon's ten ticks run out
        self.insert()
        self.assertTrue(wait_until(lambda: len(self.pages()) == 2))
        self.assertEqual(self.pages(), [PORTAL, NEW_VERSION])

    def test_a_card_put_back_during_the_grey_icon_phase_opens_its_page_once_the_phase_has_run_out(self):
        # The newer record stands after a Ctrl-Z: the runtime's text-mode reading ends there.
        with open(self.published, "wb") as page:
            page.write(b"<p>VersionCheck000=003.002.000.001</p>\r\n\x1a<p>VersionCheck000=004.000.000.000</p>\r\n")
        self.registered()
        self.start_krev()
        self.insert()
        self.assertTrue(wait_until(lambda: any(e["command"] == FETCH for e in self.log.entries())))
        self.remove()
        removed = time.monotonic()
        time.sleep(1.0)
        self.insert()
        time.sleep(3.0)
        self.assertEqual(self.pages(), [PORTAL], "no page opens during the grey-icon phase")
        self.assertTrue(wait_until(lambda: len(self.pages()) == 2, timeout=10), "the card put back was never opened")
        self.assertLess(time.monotonic() - removed, 8.0)
        self.assertEqual(self.pages(), [PORTAL, PORTAL], "the record after Ctrl-Z was read")

    def test_the_one_pass_guard_answers_as_the_walk_of_findwindowa_calls_case_by_case(self):
        stop_file = os.path.join(self.folder, "stop-fixture")
        fixture = self.wine.start(os.path.join(self.wine.helpers, "winprobe.exe"), self.folder,
                                  args=["windows", wine_env.hex_of("guard ready"), windows_path(stop_file), "0"])
        self.holders.append((stop_file, fixture))
        self.assertTrue(wait_until(lambda: self.wine.find_window("guard ready")))
        check = subprocess.run([wine_env.WINE, os.path.join(wine_env.HELPERS, "guard_check.exe")],
                               env=self.wine.program_env(self.folder), stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=300)
        lines = check.stdout.decode().splitlines()
        cases = [line.split() for line in lines if len(line.split()) == 4]
        self.assertGreater(len(cases), 350, lines[-1:])
        self.assertEqual([c for c in cases if c[2] != c[3]], [], "the lookup and the walk differ")
        self.assertEqual([c for c in cases if c[1] != c[2]], [], "unexpected answers")
        self.assertEqual(check.returncode, 0)

    def assert_window_holds_the_opening_back(self, title):
        """With a window of this title open, an inserted card opens nothing until it closes."""
        self.registered()
        self.start_krev()
        stop_file = self.hold_window(title)
        self.insert()
        time.sleep(3.0)
        self.assertEqual(self.pages(), [])
        open(stop_file, "w").close()
        self.assertTrue(wait_until(lambda: self.pages()))

    def test_a_chinese_web_atm_window_holds_the_opening_back_until_it_closes(self):
        self.assert_window_holds_the_opening_back("台灣銀行網路ATM - Microsoft Internet Explorer")
        self.assertEqual(self.pages(), [PORTAL])

    def test_a_rows_page_in_every_browser_and_private_window_holds_the_opening_back_each_alone(self):
        """Each window opens before the previous one closes, so that every one holds alone."""
        self.registered()
        self.start_krev()
        holding = self.hold_window("轉帳 和另外 2 個頁面 - 個人 - Microsoft\u200b Edge", "Chrome_WidgetWin_1")
        self.insert()
        for title, window_class in (("餘額查詢 - Google Chrome", "Chrome_WidgetWin_1"),
                                    ("登出 \u2014 Mozilla Firefox", "MozillaWindowClass"),
                                    ("轉帳 和其他 2 個頁面 - [InPrivate] - Microsoft\u200b Edge", "Chrome_WidgetWin_1"),
                                    ("餘額查詢 \u2014 Mozilla Firefox 隱私瀏覽模式", "MozillaWindowClass"),
                                    ("登出 \u2014 工作 \u2014 Mozilla Firefox Private Browsing", "MozillaWindowClass"),
                                    ("轉帳 - Brave", "Chrome_WidgetWin_1"), ("餘額查詢 - Opera", "Chrome_WidgetWin_1"),
                                    ("登出 - Vivaldi", "Chrome_WidgetWin_1"), ("轉帳 - Chromium", "Chrome_WidgetWin_1"),
                                    ("餘額查詢 - Whale", "Chrome_WidgetWin_1"),
                                    ("登出 \u2014 LibreWolf", "MozillaWindowClass"),
                                    ("轉帳 - Waterfox", "MozillaWindowClass")):
            time.sleep(1.5)
            self.assertEqual(self.pages(), [], title)
            previous, holding = holding, self.hold_window(title, window_class)
            open(previous, "w").close()
        time.sleep(2.0)
        self.assertEqual(self.pages(), [])
        open(holding, "w").close()
        self.assertTrue(wait_until(lambda: self.pages()))
        self.assertEqual(self.pages(), [PORTAL])

    def test_a_title_differing_only_in_letter_case_holds_the_opening_back_too(self):
        self.assert_window_holds_the_opening_back("WEBATM - microsoft INTERNET explorer")

    def test_near_misses_and_browsers_titles_in_another_programs_window_do_not_hold_the_opening(self):
        self.registered()
        self.start_krev()
        self.hold_window("台灣銀行網路ATM - Microsoft Internet Explorer ")
        self.hold_window("轉帳 - Chromium", "Notepad")
        self.hold_window("登出 \u2014 LibreWolf", "Chrome_WidgetWin_1")
        self.insert()
        self.assertTrue(wait_until(lambda: self.pages()))

    def test_the_banking_window_holds_the_insertion_while_it_shows_another_tab_until_it_closes(self):
        self.registered()
        self.start_krev()
        stop_file = self.hold_window("轉帳 - Chromium", "Chrome_WidgetWin_1")
        self.insert()
        time.sleep(2.0)
        self.assertEqual(self.wine.probe("retitle", "轉帳 - Chromium", wine_env.hex_of("新分頁 - Chromium")), "")
        self.assertTrue(wait_until(lambda: self.wine.find_window("新分頁 - Chromium")), "the tab switch")
        time.sleep(3.0)
        self.assertEqual(self.pages(), [], "a look at another tab opened the portal over the banking page")
        open(stop_file, "w").close()
        self.assertTrue(wait_until(lambda: self.pages()))
        time.sleep(1.5)
        self.assertEqual(self.pages(), [PORTAL])

    def test_auto_connect_switched_off_stays_off_when_krev_is_started_again(self):
        self.registered()
        self.start_krev()
        self.wine.probe("send", "About Vyx", WM_COMMAND, ID_AUTO_CONNECT, 0)
        self.wine.probe("send", "About Vyx", WM_COMMAND, ID_EXIT, 0)
        self.assertEqual(self.krev.wait(timeout=30), 0)
        with open(os.path.join(self.folder, "Reader.ini"), "rb") as settings:
            self.assertEqual(settings.read(), b"[Register]\r\nCheck=OK\r\n[Reader]\r\nAutoConnect=0\r\n")
        self.start_krev()
        self.insert()
        time.sleep(3.0)
        self.assertEqual(self.pages(), [])

    def test_automatic_opening_switched_off_stays_off_after_the_reader_dialog(self):
        self.registered()
        self.start_krev()
        self.wine.probe("send", "About Vyx", WM_COMMAND, ID_AUTO_CONNECT, 0)
        self.wine.probe("post", "About Vyx", WM_COMMAND, ID_SELECT_READER, 0)
        dialog = "Vyx - Select Reader"
        self.assertTrue(wait_until(lambda: (self.wine.find_window(dialog) or (0, 0, False))[2]))
        self.wine.probe("post", dialog, WM_COMMAND, 2, 0)
        self.assertTrue(wait_until(lambda: not self.wine.find_window(dialog)[2]))
        self.insert()
        time.sleep(3.0)
        self.assertEqual(self.pages(), [], "a page opened while the menu showed the switch off")

    def test_the_reader_dialog_shows_the_scripted_readers_and_saves_the_chosen_one(self):
        write_card_script(self.folder, ["empty Quenby USB Reader", "empty 晶片讀卡機 02"])
        self.start_krev()
        self.wine.probe("post", "About Vyx", WM_COMMAND, ID_SELECT_READER, 0)
        dialog = "Vyx - Select Reader"
        self.assertTrue(wait_until(lambda: (self.wine.find_window(dialog) or (0, 0, False))[2]))
        self.assertEqual(self.wine.probe("item", dialog, 1008, CB_GETCOUNT, 0, 0), "2")
        self.assertEqual(self.wine.probe("item", dialog, 1008, CB_GETCURSEL, 0, 0), "0")
        entries = [bytes.fromhex(self.wine.probe("text", dialog, 1008, index)).decode("cp950") for index in (0, 1)]
        self.assertEqual(entries, ["Quenby USB Reader", "晶片讀卡機 02"])
        self.wine.probe("item", dialog, 1008, CB_SETCURSEL, 1, 0)
        self.wine.probe("post", dialog, WM_COMMAND, 1, 0)
        self.assertTrue(wait_until(lambda: not self.wine.find_window(dialog)[2]))
        with open(os.path.join(self.folder, "Reader.ini"), "rb") as settings:
            self.assertEqual(settings.read(), "[Reader]\r\nSelect=晶片讀卡機 02\r\n".encode("cp950"))
        self.assertEqual(self.pages(), [], "no reader was on record when the command ran")

    def test_the_about_box_draws_its_colour_buttons_chinese_captions_in_its_chinese_font(self):
        out = os.path.join(self.folder, "Krev.exe.out")
        self.start_krev(WINEDEBUG="-all,trace+text,trace+font")
        self.wine.probe("post", "About Vyx", WM_COMMAND, ID_APP_ABOUT, 0)
        drawn = lambda: open(out, "rb").read().decode("ascii", "replace")
        # Wine's trace of DrawTextExW and of the fonts made, with UTF-16 units as \NNNN.
        wide = lambda text: "".join(c if ord(c) < 128 else "\\%04x" % ord(c) for c in text)
        made = lambda: [line for line in drawn().splitlines() if "HfontCreate" in line]
        seen = {"the OK button's caption": lambda: 'L"%s"' % wide("確定") in drawn(),
                "the address button's caption": lambda: 'L" www.quenby.example"' in drawn(),
                "the About box's font": lambda: [line for line in made() if 'L"%s"' % wide("新細明體") in line]}
        wait_until(lambda: all(check() for check in seen.values()), timeout=30)
        self.assertEqual([name for name, check in seen.items() if not check()], [])

    def test_exit_sent_to_the_reader_dialog_ends_krev(self):
        self.start_krev()
        self.wine.probe("post", "About Vyx", WM_COMMAND, ID_SELECT_READER, 0)
        dialog = "Vyx - Select Reader"
        self.assertTrue(wait_until(lambda: (self.wine.find_window(dialog) or (0, 0, False))[2]))
        self.wine.probe("send", dialog, WM_COMMAND, ID_EXIT, 0)
        self.assertEqual(self.krev.wait(timeout=30), 0)
        self.krev = None
        self.assertIsNone(self.wine.find_window("CSystemTray Dummy Window"))


class VersionMessageBox(KrevWithCardScript):
    """Without Pellit.dll the check gives up after about ten seconds and says so."""

    def test_exit_chosen_while_the_message_box_is_open_ends_krev_after_the_box(self):
        os.remove(os.path.join(self.folder, "Pellit.dll"))
        self.registered()
        self.start_krev()
        self.insert()
        # Found only once shown: the box's window exists hidden for a moment before.
        self.assertTrue(wait_until(lambda: (self.wine.find_window("Krev") or (0, 0, False))[2], timeout=40),
                        "the version check's message box never appeared")
        texts = [bytes.fromhex(text).decode("utf-16-le") for text in self.wine.probe("texts", "Krev").split()]
        self.assertIn(DAMAGED_FILES, texts)
        self.wine.probe("send", "About Vyx", WM_COMMAND, ID_EXIT, 0)
        time.sleep(1.0)
        self.assertIsNone(self.krev.poll(), "Krev must not end under its own running tick")
        self.wine.probe("post", "Krev", WM_COMMAND, 1, 0)  # the user presses OK
        self.assertEqual(self.krev.wait(timeout=30), 0)
        self.krev = None
        self.assertIsNone(self.wine.find_window("CSystemTray Dummy Window"))



class UnderAnEnglishWindows(CardToBrowser, VersionMessageBox):
    """Some of the checks above with Windows' language for non-Unicode programs set to English
    (code page 1252): Krev keeps its texts in code page 950 and hands them to Windows in UTF-16, so
    the guard, the message box, the About box and the reader dialog behave as on a Chinese one."""

    LOCALE = "en_US.UTF-8"
    CHECKS = ("test_a_chinese_web_atm_window_holds_the_opening_back_until_it_closes",
              "test_a_rows_page_in_every_browser_and_private_window_holds_the_opening_back_each_alone",
              "test_exit_chosen_while_the_message_box_is_open_ends_krev_after_the_box",
              "test_the_about_box_draws_its_colour_buttons_chinese_captions_in_its_chinese_font",
              "test_the_reader_dialog_shows_the_scripted_readers_and_saves_the_chosen_one")


for _name in dir(UnderAnEnglishWindows):
    if _name.startswith("test_") and _name not in UnderAnEnglishWindows.CHECKS:
        setattr(UnderAnEnglishWindows, _name, None)


class UnderASimplifiedChineseWindows(UnderAnEnglishWindows):
    """The same with code page 936, whose double-byte characters differ from those of 950."""

    LOCALE = "zh_CN.UTF-8"


if __name__ == "__main__":
    unittest.main()
