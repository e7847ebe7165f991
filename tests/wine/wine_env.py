"""One Wine machine for a whole test run: an Xvfb display, a fresh prefix in the zh_TW locale
(code page 950), a persistent wineserver, and a recording browser registered for https and .htm.

Wine is Debian 12's Wine 8 with its 32-bit half, in the bookworm root that scripts/debian_root.sh
builds (so this machine needs no i386 packages): the work tree and /tmp are bound into the root at
their own paths, in a mount namespace of the run's own where that is allowed, and the wine64 and
wineserver beside this file start Wine there.

The programs are the shipped i686 ones (dist/win32, the package and CD of dist/) where the
kernel runs 32-bit code, and otherwise the x86_64 builds of the same sources (dist/win64 and
build/x86_64); the helpers (recorder.exe, winprobe.exe, ...) come from the same build tree.
KREV_PROGRAMS=i686 or x86_64 chooses instead (the benchmark measures both)."""
import ctypes
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _programs_to_run():
    chosen = os.environ.get("KREV_PROGRAMS")
    if chosen in ("i686", "x86_64"):
        return chosen
    probe = subprocess.run(["bash", os.path.join(ROOT, "scripts", "runs_32bit.sh")], stdout=subprocess.DEVNULL)
    return "i686" if probe.returncode == 0 else "x86_64"


ARCH = _programs_to_run()
SHIPPED = ARCH == "i686"
DIST = os.path.join(ROOT, "dist", "win32" if SHIPPED else "win64")
HELPERS = os.path.join(ROOT, "build", ARCH, "bin")
PACKAGE = os.path.join(ROOT, "dist", "KrevSetup.msi") if SHIPPED else os.path.join(ROOT, "build", "x86_64", "KrevSetup.msi")
PACKAGE_ARCH = "x86" if SHIPPED else "x64"
CD_IMAGE = os.path.join(ROOT, "dist", "krev-cd.iso") if SHIPPED else os.path.join(ROOT, "build", "x86_64", "krev-cd.iso")
# How 32-bit code runs here, as scripts/with_32bit.sh found it.
WAY_32BIT = os.environ.get("KREV_32BIT_WAY", "the kernel, or an emulator the machine has" if SHIPPED else "none")
PROGRAMS_RUN = ("the shipped i686 programs (dist/win32, dist/KrevSetup.msi, dist/krev-cd.iso); 32-bit code ran by %s"
                % WAY_32BIT if SHIPPED else
                "the x86_64 builds of the same sources (dist/win64): %s, so the shipped i686 programs were not run"
                % ("32-bit code runs neither by the kernel nor by an emulator here" if WAY_32BIT.startswith("none")
                   else "KREV_PROGRAMS chose them"))
WINE = os.path.join(ROOT, "tests", "wine", "wine64")
WINESERVER = os.path.join(ROOT, "tests", "wine", "wineserver")
WINE_ROOT = os.environ.get("KREV_BOOKWORM_ROOT", "/var/cache/krev/bookworm-root")
CLONE_NEWNS = 0x00020000
# A later version of the same sources, for the upgrade tests.
LATER_VERSION = "3.2.1.0"
LATER_BUILD = os.path.join(ROOT, "build", "later")


def enter_own_mount_namespace():
    """Moves this process (and so everything it starts) into a mount namespace of its own: the
    run's mounts in a root are then neither seen nor undone by another run, and they vanish with
    the run even when it is killed. Where that is not allowed, the run mounts in the machine's."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        return False
    return subprocess.run(["mount", "--make-rprivate", "/"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


class WineRoot:
    """The bookworm root's mounts for this run: /proc, /dev, /tmp and the work tree."""

    def __init__(self):
        if not os.path.exists(WINE_ROOT + "/usr/lib/wine/wine64"):
            raise RuntimeError("no Wine 8 root at %s: run scripts/debian_root.sh bookworm" % WINE_ROOT)
        self.mounts = []
        self.own_namespace = enter_own_mount_namespace()
        try:
            self._mount("/proc", "-t", "proc", "proc")
            self._mount("/dev", "--rbind", "/dev")
            for folder in sorted({"/tmp", tempfile.gettempdir(), ROOT}):
                self._mount(folder, "--bind", folder)
        except BaseException:
            self.close()
            raise

    def _mount(self, target, *how):
        path = WINE_ROOT + target
        os.makedirs(path, exist_ok=True)
        subprocess.run(["mount"] + list(how) + [path], check=True)
        self.mounts.append(path)

    def close(self):
        """Undoes the mounts where they are the machine's; a namespace of the run's own goes with it."""
        if not self.own_namespace:
            for path in reversed(self.mounts):
                subprocess.run(["umount", "-l", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.mounts = []


_wine_root = None


def wine_root():
    """The root's mounts, made once for the whole run."""
    global _wine_root
    if _wine_root is None:
        _wine_root = WineRoot()
    return _wine_root


def _build_text(name):
    """A text that the build of the programs run defined (the generated product_config.h)."""
    with open(os.path.join(ROOT, "build", ARCH, "generated", "product_config.h")) as config:
        return re.search(r'#define %s "([^"]*)"' % name, config.read()).group(1)


# What stands before the server in the product's addresses: "https://", unless the build chose
# http, which keeps "http://" on some and no scheme on the others.
PAGE_SCHEME = _build_text("KREV_PAGE_SCHEME")
BARE_PAGE_SCHEME = _build_text("KREV_BARE_PAGE_SCHEME")
PORTAL = PAGE_SCHEME + "www.quenby.example/portal/index.htm"
REGISTRATION = PAGE_SCHEME + "reg.quenby.example/reg_reader.php"


# A run folder is Krev's working folder; Krev.exe itself lies in a folder below it, since a Krev
# whose working folder is its program folder works in the user's folder instead. The programs it
# starts by name, and SC.dll, are found in the working folder.
KREV_FOLDER = "program"


def run_folder_program(folder, program):
    """Where a run folder holds `program`."""
    return os.path.join(folder, KREV_FOLDER, program) if program == "Krev.exe" else os.path.join(folder, program)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def hex_of(text):
    """Text for winprobe: code page 950 bytes, or "w" and UTF-16 for text that code page 950 lacks."""
    if isinstance(text, str):
        try:
            text = text.encode("cp950")
        except UnicodeEncodeError:
            return "w" + text.encode("utf-16-le").hex()
    return text.hex()


def wait_until(predicate, timeout=30.0, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def remove_server_folder(prefix, tmp):
    """Debian's Wine makes a prefix's wineserver folder by mkdtemp in $TMPDIR or /tmp (`tmp` on this
    machine) and names it in the prefix's `wineserver` file; the folder, its lock in it, outlives
    the server. Called once the server has ended."""
    try:
        with open(os.path.join(prefix, "wineserver")) as record:
            name = record.read().strip()
    except OSError:
        return
    if re.fullmatch(r"wine-[A-Za-z0-9]{6}", name):
        shutil.rmtree(os.path.join(tmp, name), ignore_errors=True)


def prefix_pids(prefix, name):
    """The Linux processes of the Wine prefix `prefix` whose command line holds `name`."""
    pids = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                if name.encode() not in cmdline.read():
                    continue
            with open("/proc/%s/environ" % entry, "rb") as environ:
                if ("WINEPREFIX=" + prefix).encode() not in environ.read().split(b"\0"):
                    continue
        except OSError:
            continue
        pids.append(int(entry))
    return pids


def working_folder(pid):
    """The working folder of a process that runs Wine in the root, as this machine names it: the
    root's /tmp and work tree are this machine's own, bound at their own paths."""
    folder = os.readlink("/proc/%d/cwd" % pid)
    return folder[len(WINE_ROOT):] if folder.startswith(WINE_ROOT + "/") else folder


def cpu_seconds(pids):
    """The processor time that the processes have used so far, user and system, in seconds."""
    total = 0
    for pid in pids:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def x_lock_holder(number):
    """The process number in display `number`'s lock file, or None."""
    try:
        with open("/tmp/.X%d-lock" % number) as lock:
            return int(lock.read().strip())
    except (OSError, ValueError):
        return None


def start_xvfb(numbers):
    """An Xvfb on the first free display of `numbers`: (process, ":N")."""
    for number in numbers:
        if os.path.exists("/tmp/.X11-unix/X%d" % number) or os.path.exists("/tmp/.X%d-lock" % number):
            continue
        xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The display is ours only when the lock names our server: another run starting at the same
        # moment may have taken the number, and then ours ends while that one's socket appears.
        if wait_until(lambda: xvfb.poll() is not None or (os.path.exists("/tmp/.X11-unix/X%d" % number)
                                                           and x_lock_holder(number) == xvfb.pid), timeout=10) \
                and xvfb.poll() is None:
            return xvfb, ":%d" % number
        stop_xvfb(xvfb)
    raise RuntimeError("no free X display")


def stop_xvfb(xvfb):
    """Ends an Xvfb so that it removes its lock file and socket: SIGKILL would leave them, and
    that display number would never be free again."""
    if xvfb is None or xvfb.poll() is not None:
        return
    xvfb.send_signal(signal.SIGTERM)
    try:
        xvfb.wait(timeout=10)
    except subprocess.TimeoutExpired:
        xvfb.kill()
        xvfb.wait()


class Recording:
    """What the recorder wrote: one entry per start of a recorded program."""

    def __init__(self, path):
        self.path = path

    def entries(self):
        if not os.path.exists(self.path):
            return []
        entries = []
        with open(self.path, "rb") as log:
            for line in log.read().splitlines():
                program, show, directory, command, started = line.split(b"\t")
                entries.append({"program": program.decode("cp950"), "show": int(show),
                                 "directory": directory.decode("cp950"), "command": bytes.fromhex(command.decode()),
                                 "at_ms": int(started)})
        return entries


class Screen:
    """Raw 8-bit RGB pixels of a screenshot, read as screen[y][x] -> (r, g, b)."""

    class _Row:
        def __init__(self, raw, start):
            self.raw, self.start = raw, start

        def __getitem__(self, x):
            at = self.start + 3 * x
            return (self.raw[at], self.raw[at + 1], self.raw[at + 2])

    def __init__(self, raw, width):
        self.raw, self.width = raw, width

    def __getitem__(self, y):
        return Screen._Row(self.raw, 3 * self.width * y)


class WineMachine:
    """A prefix of its own; with `display_of`, on that machine's display (another user of the same
    desktop session, as far as Wine can show one)."""

    def __init__(self, display_of=None):
        self.root = tempfile.mkdtemp(prefix="krev-wine-")
        self.xvfb = None
        self.display_of = display_of
        self.processes = []
        try:
            self._set_up()
        except BaseException:
            self.close()
            raise

    def _set_up(self):
        wine_root()
        if self.display_of is None:
            self.xvfb, self.display = start_xvfb(range(90, 140))
        else:
            self.display = self.display_of.display
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.root, "prefix"), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", LANG="zh_TW.UTF-8", LC_ALL="zh_TW.UTF-8",
                        DISPLAY=self.display)
        self.env.pop("LANGUAGE", None)
        # Wine's WinINet follows proxy variables; the tests' servers are on loopback.
        for variable in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
            self.env.pop(variable, None)
        self._quiet([WINE, "wineboot", "-i"], timeout=180)
        subprocess.Popen([WINESERVER, "-p"], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL).wait()
        self.helpers = os.path.join(self.root, "helpers")
        os.makedirs(self.helpers)
        for helper in ("recorder.exe", "winprobe.exe"):
            shutil.copy(os.path.join(HELPERS, helper), self.helpers)
        self.browser = os.path.join(self.helpers, "browser.exe")
        shutil.copy(os.path.join(HELPERS, "recorder.exe"), self.browser)
        # The default browser: the program for https (Farrow asks for it first) and for .htm.
        self.register_handler("https", None, self.browser)
        self.register_handler(".htm", "krevtesthtml", self.browser)
        self._install_chinese_font()
        self.desktop = None  # the Wine virtual desktop the probe looks into, when one is used
        self._warm_up_notification_area()

    def _install_chinese_font(self):
        """The dialogs ask for 新細明體 (PMingLiU); AR PL UMing from Debian stands in for it."""
        font = "/usr/share/fonts/truetype/arphic/uming.ttc"
        if not os.path.exists(font):
            return
        shutil.copy(font, os.path.join(self.env["WINEPREFIX"], "drive_c", "windows", "Fonts"))
        key = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes"
        for name in ("新細明體", "細明體", "PMingLiU", "MingLiU"):
            self._quiet([WINE, "reg", "add", key, "/v", name, "/d", "AR PL UMing TW", "/f"])

    def _warm_up_notification_area(self):
        """Wine creates its notification area on the first icon, which takes about ten seconds
        in a new prefix. One Krev started and ended here pays that once for the whole run."""
        folder = self.run_folder("warm-up", default_check=False)
        krev = self.start("Krev.exe", folder)
        if not wait_until(lambda: self.find_window("About Vyx"), timeout=90):
            raise RuntimeError("Krev never showed its window under Wine")
        self.probe("send", "About Vyx", 0x111, 57665, 0)
        krev.wait(timeout=30)

    def _quiet(self, command, cwd=None, timeout=60, env=None):
        log = os.path.join(self.root, "wine-output.log")
        with open(log, "ab") as out:
            return subprocess.run(command, cwd=cwd, env=env or self.env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=out, timeout=timeout).returncode

    def register_handler(self, extension_or_scheme, class_name, program):
        command = '"%s" "%%1"' % windows_path(program)
        if not extension_or_scheme.startswith("."):
            self._quiet([WINE, "reg", "add", "HKCR\\" + extension_or_scheme, "/v", "URL Protocol", "/d", "", "/f"])
        if extension_or_scheme.startswith("."):
            self._quiet([WINE, "reg", "add", "HKCR\\" + extension_or_scheme, "/ve", "/d", class_name, "/f"])
            key = "HKCR\\%s\\shell\\open\\command" % class_name
        else:
            key = "HKCR\\%s\\shell\\open\\command" % extension_or_scheme
        self._quiet([WINE, "reg", "add", key, "/ve", "/d", command, "/f"])

    def unregister_handler(self, scheme):
        self._quiet([WINE, "reg", "delete", "HKCR\\" + scheme, "/f"])

    def run_folder(self, name, programs=("Krev.exe", "Farrow.exe", "SC.dll"), default_check=True):
        """A fresh folder with the named programs of DIST and, if asked, DefaultCheck.htm."""
        folder = os.path.join(self.root, name)
        os.makedirs(os.path.join(folder, KREV_FOLDER))
        for program in programs:
            # The Wine tests drive the card library by script: Wine's winscard is a stub.
            source = os.path.join(HELPERS, "scripted", program) if program == "SC.dll" else os.path.join(DIST, program)
            shutil.copy(source, run_folder_program(folder, program))
        if default_check:
            with open(os.path.join(folder, "DefaultCheck.htm"), "w") as page:
                page.write("<html><body>Default browser check</body></html>\n")
        return folder

    def program_env(self, folder, **extra):
        env = dict(self.env, RECORD_LOG=windows_path(os.path.join(folder, "record.log")),
                   SC_SCRIPT=windows_path(os.path.join(folder, "sc_script.txt")))
        if self.desktop:
            env["PROBE_DESKTOP"] = self.desktop
        env.update(extra)
        return env

    def start(self, program, folder, args=(), **extra):
        out = open(os.path.join(folder, os.path.basename(program) + ".out"), "ab")
        if os.path.exists(run_folder_program(folder, program)):
            program = run_folder_program(folder, program)
        process = subprocess.Popen([WINE, program] + list(args), cwd=folder, env=self.program_env(folder, **extra),
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=out)
        self.processes.append(process)
        return process

    def start_in_desktop(self, program, folder, desktop="shell", size="1024x768", **extra):
        """Starts a program inside a Wine virtual desktop, made on first use (it has a taskbar
        with a notification area, and windows get caption bars)."""
        out = open(os.path.join(folder, os.path.basename(program) + ".out"), "ab")
        if os.path.exists(run_folder_program(folder, program)):
            program = windows_path(run_folder_program(folder, program))
        process = subprocess.Popen([WINE, "explorer", "/desktop=%s,%s" % (desktop, size), program], cwd=folder,
                                   env=self.program_env(folder, **extra), stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=out)
        self.processes.append(process)
        return process

    def screen(self):
        """The screen now: screen[y][x] is (r, g, b)."""
        raw = subprocess.run(["import", "-display", self.display, "-window", "root", "-depth", "8", "rgb:-"],
                             check=True, capture_output=True).stdout
        return Screen(raw, 1024)

    def click(self, x, y, button=1, times=1):
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "--repeat", str(times), "--delay", "60",
                        str(button)], check=True, env=dict(os.environ, DISPLAY=self.display))

    def key(self, keys):
        """Presses keys (xdotool's names, "Escape", "alt+F4") in the window that has the focus."""
        subprocess.run(["xdotool", "key", keys], check=True, env=dict(os.environ, DISPLAY=self.display))

    def probe(self, verb, text, *args, folder=None, timeout=30):
        result = subprocess.run([WINE, os.path.join(self.helpers, "winprobe.exe"), verb, hex_of(text)] +
                                [str(a) for a in args], cwd=folder or self.root,
                                env=self.program_env(folder or self.root), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=timeout)
        return result.stdout.decode("cp950", "replace").strip()

    def find_window(self, title):
        """(style, exstyle, visible, pid) of a top-level window with that title, or None."""
        answer = self.probe("find", title)
        if not answer.startswith("found"):
            return None
        _, style, exstyle, visible, pid = answer.split()
        return int(style, 16), int(exstyle, 16), visible == "1", int(pid)

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.display, "-window", "root", path], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
        if hasattr(self, "env"):
            subprocess.run([WINESERVER, "-k"], env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            remove_server_folder(self.env["WINEPREFIX"], self.env.get("TMPDIR") or "/tmp")
        stop_xvfb(self.xvfb)
        shutil.rmtree(self.root, ignore_errors=True)


def write_card_script(folder, lines):
    """The scriptable SC.dll reads this at every call; replaced whole so no read sees half of it."""
    path = os.path.join(folder, "sc_script.txt")
    with open(path + ".new", "wb") as script:
        script.write(("\n".join(lines) + "\n").encode("cp950"))
    os.replace(path + ".new", path)


def _make_msi():
    """scripts/make_msi.py as a module: the package's product codes and versions."""
    import importlib.util
    found = importlib.util.spec_from_file_location("make_msi", os.path.join(ROOT, "scripts", "make_msi.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


MAKE_MSI = _make_msi()


def product_code(version):
    """The package's ProductCode of that build version, in braces."""
    return "{%s}" % MAKE_MSI.product_code(PACKAGE_ARCH, version)


_later = None


def later_package():
    """The package of LATER_VERSION, built once for the run by scripts/build.sh into build/later
    (the Windows tree of the programs that this run runs)."""
    global _later
    if _later is None:
        tree = "i686" if SHIPPED else "x86_64"
        result = subprocess.run(["bash", os.path.join(ROOT, "scripts", "build.sh")], cwd=ROOT,
                                env=dict(os.environ, KREV_BUILD_DIR=LATER_BUILD, KREV_BUILD_TREES=tree,
                                         KREV_DIST_DIR=os.path.join(LATER_BUILD, "dist"), KREV_VERSION=LATER_VERSION),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            raise RuntimeError("the later version did not build:\n" + result.stdout.decode("utf-8", "replace")[-3000:])
        _later = (os.path.join(LATER_BUILD, "dist", "KrevSetup.msi") if SHIPPED
                  else os.path.join(LATER_BUILD, "x86_64", "KrevSetup.msi"))
    return _later


def later_program(name):
    """A program of the later version, as its package installs it."""
    return os.path.join(LATER_BUILD, "dist", "win32" if SHIPPED else "win64", name)


_machine = None


def machine():
    """The run's one Wine machine, made on first use."""
    global _machine
    if _machine is None:
        _machine = WineMachine()
    return _machine


def close_machine():
    global _machine, _wine_root
    if _machine is not None:
        _machine.close()
        _machine = None
    if _wine_root is not None:
        _wine_root.close()
        _wine_root = None
