#!/usr/bin/env python3
"""End-to-end runs of the whole tool against throwaway prefixes.

    e2e.py native SCENARIO --tool brevlo --stub mirvo.exe --artifacts DIR
    e2e.py wine-base --base DIR
    e2e.py wine SCENARIO --tool brevlo.exe --stub mirvo.exe --base DIR --artifacts DIR
    e2e.py side-by-side --tool brevlo.exe --native brevlo --stub mirvo.exe --base DIR

The native build runs on a prefix made here (user.reg, dosdevices), answering on a
pseudo-terminal; stand-ins for `wine` and `xdg-open` on PATH record how they were called. The
Windows build runs under Wine in a copy of a prefix made once by `wine-base`, headless under
Xvfb, with xdotool answering; Wine's browser setting points at a stand-in that records the
address. Exit status 0 passes, 77 skips, anything else fails.
"""

import argparse
import codecs
import fcntl
import glob
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(SOURCE, "examples")
EXPECTED_CATALOG = os.path.join(SOURCE, "tests", "e2e", "expected", "product-config.xml")

INSTALL_WINDOWS = "C:\\Program Files\\MirvoPix"
INSTALL_RELATIVE = os.path.join("drive_c", "Program Files", "MirvoPix")
HOME_PAGE = "https://www.mirvopix.com/"

TEXT_PROGRESS = "MirvoPix正在帮您导入素材..."
TEXT_QUESTION = "导入完成，是否试用MirvoPix？"
TEXT_NOT_INSTALLED = "安装失败，本机未安装MirvoPix"
TEXT_INTERRUPTED = "导入未完成：导入已被中断，目录文件未作改动。请重新运行素材包。"
CAPTION = "MirvoPix"
CAPTION_ABOUT = "关于 Brevlo"

SKIP = 77


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def log(message):
    print(message, flush=True)


# ---- the sample installation and pack ------------------------------------------------------


def to_ansi(path):
    """Catalogs are stored in the ANSI code page; the examples are kept in UTF-8."""
    with open(path, "rb") as f:
        text = f.read().decode("utf-8")
    with open(path, "wb") as f:
        f.write(text.encode("gbk"))


def install_product(prefix, stub, with_marks=True):
    install = os.path.join(prefix, INSTALL_RELATIVE)
    shutil.copytree(os.path.join(EXAMPLES, "product"), install, dirs_exist_ok=True)
    if with_marks:
        to_ansi(os.path.join(install, "data", "marks", "config.xml"))
    else:
        shutil.rmtree(os.path.join(install, "data", "marks"))
    shutil.copy(stub, os.path.join(install, "mirvo.exe"))
    return install


def make_pack(folder, tool):
    pack = os.path.join(folder, "pack")
    shutil.copytree(os.path.join(EXAMPLES, "pack", "marks"), os.path.join(pack, "marks"))
    to_ansi(os.path.join(pack, "marks", "config.xml"))
    target = os.path.join(pack, os.path.basename(tool))
    shutil.copy(tool, target)
    return pack, target


def tree(folder):
    """Relative path -> bytes of every file below `folder` (folders as None)."""
    found = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs:
            found[os.path.relpath(os.path.join(root, name), folder)] = None
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


def expected_catalog():
    with open(EXPECTED_CATALOG, encoding="utf-8") as f:
        return f.read().replace("\n", "\r\n").encode("gbk")


def check_merged(install, data="marks"):
    """The product data folder holds the product's files unchanged, the pack's other files,
    and the merged catalog."""
    folder = os.path.join(install, "data", data)
    got = tree(folder)
    want = tree(os.path.join(EXAMPLES, "pack", "marks"))
    want.update(tree(os.path.join(EXAMPLES, "product", "data", "marks")))
    want["config.xml"] = expected_catalog()
    check(sorted(got) == sorted(want), "product data folder lists %s, expected %s"
          % (sorted(got), sorted(want)))
    for name, data in want.items():
        check(got[name] == data, "%s differs from what the import should leave" % name)


def check_untouched(install):
    got = tree(os.path.join(install, "data"))
    want = tree(os.path.join(EXAMPLES, "product", "data"))
    catalog = os.path.join("marks", "config.xml")
    want[catalog] = want[catalog].decode("utf-8").encode("gbk")
    check(got == want, "the product data folder changed")


class CatalogLock:
    """Holds the native import lock of the product, as another import would, so that the
    worker waits with the dialog up: an advisory lock on the product data folder itself."""

    def __init__(self, install):
        folder = os.path.join(install, "data", "marks")
        self.fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        fcntl.flock(self.fd, fcntl.LOCK_EX)

    def release(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


class WineCatalogLock:
    """The same under Wine: the product stand-in holds the named mutex of the product."""

    def __init__(self, scenario, install):
        # The first Wine program of the prefix starts its desktop: on the display, already.
        if not scenario.display:
            scenario.display = Display()
        self.folder = tempfile.mkdtemp(dir=scenario.work)
        self.proc = subprocess.Popen(
            ["wine", os.path.join(install, "mirvo.exe"), "--hold-import-lock",
             INSTALL_WINDOWS + "\\data\\marks"], cwd=self.folder, env=scenario.env())
        deadline = time.monotonic() + 60
        while not os.path.exists(os.path.join(self.folder, "lock-held")):
            check(self.proc.poll() is None and time.monotonic() < deadline,
                  "the stand-in did not take the lock")
            time.sleep(0.1)

    def release(self):
        if self.proc is not None:
            open(os.path.join(self.folder, "lock-release"), "w").close()
            self.proc.wait(timeout=30)
            self.proc = None


# ---- native -------------------------------------------------------------------------------

USER_REG_HEADER = "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n"


def reg_escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def make_native_prefix(folder, install_path=INSTALL_WINDOWS, key=True):
    prefix = os.path.join(folder, "prefix")
    os.makedirs(os.path.join(prefix, "drive_c", "windows"))
    os.makedirs(os.path.join(prefix, "dosdevices"))
    os.symlink("../drive_c", os.path.join(prefix, "dosdevices", "c:"))
    os.symlink("/", os.path.join(prefix, "dosdevices", "z:"))
    user = USER_REG_HEADER
    if key:
        user += "\n[Software\\\\Mirvo] 1700000000\n#time=1d9f0a0a0a0a0a0\n"
        if install_path is not None:
            user += '"Install Path"="%s"\n' % reg_escape(install_path)
    with open(os.path.join(prefix, "user.reg"), "w", encoding="utf-8") as f:
        f.write(user)
    with open(os.path.join(prefix, "system.reg"), "w", encoding="utf-8") as f:
        f.write(USER_REG_HEADER.replace("User\\\\S-1-5-21-0-0-0-1000", "Machine"))
    return prefix


STAND_IN = """#!/bin/sh
# Records how it was called: the working folder, then one argument a line. Each call goes to a
# file of its own, renamed into place once written.
f=$(mktemp "%s/tmp.XXXXXX")
{ pwd; for a in "$@"; do printf '%%s\\n' "$a"; done; } > "$f"
mv "$f" "$f.%s"
exit 0
"""


def make_stand_ins(folder):
    bin_dir = os.path.join(folder, "bin")
    calls_dir = os.path.join(folder, "calls")
    os.makedirs(bin_dir)
    os.makedirs(calls_dir)
    logs = {}
    for name in ("wine", "xdg-open"):
        logs[name] = (calls_dir, name)
        path = os.path.join(bin_dir, name)
        with open(path, "w") as f:
            f.write(STAND_IN % (calls_dir, name))
        os.chmod(path, 0o755)
    return bin_dir, logs


def calls(log, wait=0.0):
    """The recorded calls: lists of [working folder, arguments...]."""
    folder, name = log
    deadline = time.monotonic() + wait
    while True:
        found = []
        for entry in sorted(os.listdir(folder)):
            if entry.endswith("." + name):
                with open(os.path.join(folder, entry), encoding="utf-8") as f:
                    found.append(f.read().splitlines())
        if found or time.monotonic() >= deadline:
            return found
        time.sleep(0.05)


class Terminal:
    """The tool on a pseudo-terminal; `expect` waits for text on it, `send` types."""

    def __init__(self, argv, env, cwd):
        self.master, slave = pty.openpty()
        self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, cwd=cwd,
                                     env=env, start_new_session=True)
        os.close(slave)
        self.output = b""
        self.closed = False

    def _read(self, timeout):
        if self.closed:
            time.sleep(timeout)
            return
        ready, _, _ = select.select([self.master], [], [], timeout)
        if not ready:
            return
        try:
            data = os.read(self.master, 4096)
        except OSError:
            data = b""
        if not data:
            self.closed = True
        self.output += data

    def text(self):
        return self.output.decode("utf-8", "replace")

    def expect(self, pattern, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if re.search(pattern, self.text()):
                return
            if self.closed and self.proc.poll() is not None:
                break
            self._read(0.05)
        raise Failure("waited for %r; the terminal shows:\n%s" % (pattern, self.text()))

    def send(self, text):
        os.write(self.master, text.encode("utf-8"))

    def wait(self, timeout=20):
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < deadline:
            self._read(0.05)
        if self.proc.poll() is None:
            self.proc.kill()
            raise Failure("the tool did not end; the terminal shows:\n" + self.text())
        while not self.closed:
            self._read(0.05)
            if not select.select([self.master], [], [], 0)[0]:
                break
        os.close(self.master)
        return self.proc.returncode


def native_env(prefix, bin_dir):
    env = dict(os.environ)
    env["WINEPREFIX"] = prefix
    env["LC_ALL"] = "zh_CN.UTF-8"
    env["PATH"] = bin_dir + os.pathsep + env.get("PATH", "/usr/bin:/bin")
    return env


def percentages(text):
    """The bar's positions as drawn, a line redrawn for a new text at the same position once."""
    seen = [int(p) for p in re.findall(r"\] (\d+)%", text)]
    return [p for i, p in enumerate(seen) if i == 0 or p != seen[i - 1] or p == 90]


def native_scenario(name, args):
    work = tempfile.mkdtemp(prefix="brevlo-e2e-")
    try:
        bin_dir, logs = make_stand_ins(work)
        setup = {
            "missing_key": dict(key=False),
            "missing_value": dict(key=True, install_path=None),
        }.get(name, {})
        prefix = make_native_prefix(work, **setup)
        install = install_product(prefix, args.stub, with_marks=(name != "capitals"))
        pack, tool = make_pack(work, args.tool)
        env = native_env(prefix, bin_dir)
        transcript = os.path.join(args.artifacts, "native-%s.txt" % name)

        def finish(term):
            code = term.wait()
            with open(transcript, "w", encoding="utf-8") as f:
                f.write(term.text())
            check(code == 0, "exit status %d" % code)
            return term.text()

        if name in ("no_argument", "other_word"):
            for argv in ([tool], [tool, "markss"], [tool, "import"], [tool, "ｍａｒｋｓ"]):
                if name == "no_argument" and len(argv) > 1:
                    continue
                if name == "other_word" and len(argv) == 1:
                    continue
                started = time.monotonic()
                term = Terminal(argv, env, pack)
                text = finish(term)
                check(text == "", "%s printed %r" % (argv[1:], text))
                check(time.monotonic() - started < 5, "%s did not end at once" % argv[1:])
            check_untouched(install)
            check(not calls(logs["wine"]) and not calls(logs["xdg-open"]), "a program was started")
        elif name in ("missing_key", "missing_value"):
            term = Terminal([tool, "marks"], env, pack)
            term.expect(re.escape("%s: %s" % (CAPTION, TEXT_NOT_INSTALLED)) + r" \[Enter\]")
            # The home page opens only once the message has been closed.
            time.sleep(0.3)
            check(not calls(logs["xdg-open"]), "the home page opened before the message closed")
            term.send("\n")
            finish(term)
            opened = calls(logs["xdg-open"], wait=5)
            check(len(opened) == 1 and opened[0][1:] == [HOME_PAGE],
                  "xdg-open was called %r" % opened)
            check(not calls(logs["wine"]), "the product was started")
            check_untouched(install)
        elif name == "capitals":
            term = Terminal([tool, "MARKS", "further", "words"], env, pack)
            term.expect(re.escape(TEXT_QUESTION) + r" \[y/n\] ")
            term.send("n\n")
            text = finish(term)
            check(TEXT_PROGRESS in text, "no progress line")
            data = os.path.join(install, "data")
            check(sorted(os.listdir(data)) == ["MARKS"], "data holds %s" % os.listdir(data))
            got = tree(os.path.join(data, "MARKS"))
            pack_tree = tree(os.path.join(pack, "marks"))
            check(got == pack_tree, "data\\MARKS is not a copy of the pack")
            check(not calls(logs["wine"]), "the product was started")
        elif name == "yes":
            term = Terminal([tool, "marks"], env, pack)
            term.expect(re.escape(TEXT_QUESTION) + r" \[y/n\] ")
            # Anything but an answer asks again.
            term.send("maybe\n")
            term.expect(r"maybe\r?\n\[y/n\] ")
            term.send("是\n")
            text = finish(term)
            check(TEXT_PROGRESS in text and "100%" in text, "no progress line at 100%")
            started = calls(logs["wine"], wait=5)
            check(len(started) == 1, "wine was called %r" % started)
            check(started[0][1:] == [INSTALL_WINDOWS + "\\mirvo.exe"],
                  "wine was given %r" % started[0][1:])
            check(os.path.realpath(started[0][0]) == os.path.realpath(install),
                  "the product started in %s" % started[0][0])
            check_merged(install)
        elif name == "no":
            lock = CatalogLock(install)
            term = Terminal([tool, "marks"], env, pack)
            term.expect(r"\] 90%", timeout=15)
            # The system menu's About entry is a key on the progress line.
            term.expect(re.escape("(a 回车：关于 Brevlo)"))
            term.send("a\n")
            term.expect(r"关于 Brevlo\r?\n  Brevlo 1\.0 版\r?\n")
            term.send("\n")
            time.sleep(1.2)  # two more ticks: the bar stays at 90
            term._read(0.1)
            before = term.text()
            lock.release()
            term.expect(re.escape(TEXT_QUESTION) + r" \[y/n\] ")
            term.send("n\n")
            text = finish(term)
            seen = percentages(before)
            check(seen[:10] == list(range(0, 100, 10)) and set(seen[10:]) <= {90},
                  "the bar went %s while the import waited" % seen)
            check(percentages(text)[-1] == 100, "the bar did not end at 100")
            check(not calls(logs["wine"], wait=1), "the product was started")
            check_merged(install)
        elif name == "stop":
            # A stop signal ends every wait on the terminal: the question as No (the import
            # had completed); the About box over an import that waits, and then the error box
            # of the import it stopped.
            term = Terminal([tool, "marks"], env, pack)
            term.expect(re.escape(TEXT_QUESTION) + r" \[y/n\] ")
            term.proc.send_signal(signal.SIGINT)
            check(term.wait(timeout=5) == 0 and not calls(logs["wine"], wait=1),
                  "SIGINT at the question")
            lock = CatalogLock(install)
            term = Terminal([tool, "marks"], env, pack)
            term.expect(re.escape("(a 回车：关于 Brevlo)"))
            term.send("a\n")
            term.expect(r"Brevlo 1\.0 版")
            term.proc.send_signal(signal.SIGTERM)
            term.expect(re.escape("%s: %s [Enter]" % (CAPTION, TEXT_INTERRUPTED)))
            check(term.wait(timeout=5) == 1, "SIGTERM in the About box: not status 1")
            lock.release()
            check_merged(install)
        elif name == "no_terminal":
            proc = subprocess.run([tool, "marks"], cwd=pack, env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  start_new_session=True, timeout=30)
            text = proc.stdout.decode("utf-8", "replace")
            with open(transcript, "w", encoding="utf-8") as f:
                f.write(text)
            check(proc.returncode == 0, "exit status %d" % proc.returncode)
            check("%s: %s [y/n] n\n" % (CAPTION, TEXT_QUESTION) in text,
                  "the question was not answered No:\n" + text)
            check(not calls(logs["wine"], wait=1), "the product was started")
            check_merged(install)
        else:
            raise Failure("no scenario " + name)
    finally:
        if not os.environ.get("BREVLO_E2E_KEEP"):
            shutil.rmtree(work, ignore_errors=True)
        else:
            log("kept " + work)


# ---- Wine ---------------------------------------------------------------------------------


def wine_env(prefix, display=None, trace=False):
    env = dict(os.environ)
    env.update({
        "WINEPREFIX": prefix,
        "WINEDEBUG": "-all,trace+msgbox" if trace else "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "LC_ALL": "zh_CN.UTF-8",
    })
    env.pop("DISPLAY", None)
    if display:
        env["DISPLAY"] = display
    return env


def run(argv, env, timeout=120, **kwargs):
    proc = subprocess.run(argv, env=env, timeout=timeout, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, **kwargs)
    if proc.returncode != 0:
        raise Failure("%s failed (%d):\n%s" % (argv, proc.returncode,
                                               proc.stdout.decode("utf-8", "replace")))
    return proc.stdout.decode("utf-8", "replace")


BROWSER = """#!/bin/sh
# Wine's browser for the end-to-end runs: records the address it was asked to open.
printf '%s\\n' "$@" >> "${BREVLO_E2E_BROWSER_LOG:-/dev/null}"
exit 0
"""


def reg_file(text):
    """A .reg file as regedit reads it: UTF-16 with its byte-order mark and CRLF."""
    return codecs.BOM_UTF16_LE + text.replace("\n", "\r\n").encode("utf-16-le")


def wine_base(args):
    base = os.path.abspath(args.base)
    shutil.rmtree(base, ignore_errors=True)
    os.makedirs(base)
    prefix = os.path.join(base, "prefix")
    env = wine_env(prefix)
    run(["wineboot", "-i"], env, timeout=300)
    browser = os.path.join(base, "browser.sh")
    with open(browser, "w") as f:
        f.write(BROWSER)
    os.chmod(browser, 0o755)
    setup = os.path.join(base, "setup.reg")
    with open(setup, "wb") as f:
        f.write(reg_file(
            "Windows Registry Editor Version 5.00\n\n"
            # Without a window manager Wine would wait on every show and hide; it draws the
            # captions itself.
            "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"
            '"Managed"="N"\n"Decorated"="N"\n\n'
            # The dialogs' font, from the package fonts-wqy-microhei.
            "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\n"
            '"宋体"="WenQuanYi Micro Hei"\n"SimSun"="WenQuanYi Micro Hei"\n\n'
            "[HKEY_CURRENT_USER\\Software\\Wine\\WineBrowser]\n"
            '"Browsers"="%s"\n' % browser.replace("\\", "\\\\")))
    run(["wine", "regedit", "/S", setup], env)
    run(["wineserver", "-w"], env, timeout=120)
    log("base prefix ready: " + prefix)


class Display:
    """A private Xvfb."""

    def __init__(self):
        read, write = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read, 16)
            if not chunk:
                raise Failure("Xvfb did not start")
            number += chunk
        os.close(read)
        self.name = ":" + number.decode().strip()

    def close(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def xdotool(display, *argv):
    env = dict(os.environ, DISPLAY=display)
    proc = subprocess.run(["xdotool"] + list(argv), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=30)
    return proc.stdout.decode("utf-8", "replace").split()


def visible_windows(display, name="."):
    return xdotool(display, "search", "--onlyvisible", "--name", name)


def wait_window(display, name, timeout=30, exact=True):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for window in visible_windows(display, name):
            title = " ".join(xdotool(display, "getwindowname", window))
            if not exact or title == name:
                return window
        time.sleep(0.1)
    raise Failure("no window %r appeared" % name)


def wait_gone(display, window, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if window not in visible_windows(display):
            return
        time.sleep(0.1)
    raise Failure("window %s stayed" % window)


def screenshot(display, window, path, below=0):
    geometry = xdotool(display, "getwindowgeometry", "--shell", window)
    values = dict(item.split("=") for item in geometry if "=" in item)
    x, y = int(values["X"]), int(values["Y"])
    w, h = int(values["WIDTH"]), int(values["HEIGHT"]) + below
    xwd = subprocess.run(["xwd", "-root", "-silent", "-display", display], stdout=subprocess.PIPE,
                         check=True, timeout=30).stdout
    subprocess.run(["convert", "xwd:-", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage",
                    "png:" + path], input=xwd, check=True, timeout=30)
    log("screenshot " + path)


def press(display, window, *keys):
    xdotool(display, "windowfocus", "--sync", window)
    xdotool(display, "key", "--delay", "60", *keys)


def answer(display, window, *keys, attempts=3):
    """Presses the keys on the window until it goes away (focus can be slow to arrive)."""
    for _ in range(attempts):
        press(display, window, *keys)
        try:
            wait_gone(display, window, timeout=5)
            return
        except Failure:
            continue
    raise Failure("window %s did not take the keys %s" % (window, keys))


def open_about(display, dialog, attempts=3):
    """The About box, from the system menu's last entry."""
    for _ in range(attempts):
        press(display, dialog, "alt+space")
        time.sleep(0.7)
        press(display, dialog, "Up", "Return")
        try:
            return wait_window(display, CAPTION_ABOUT, timeout=8)
        except Failure:
            press(display, dialog, "Escape")
    raise Failure("the system menu did not open the About box")


def decode_wine_string(text):
    """A string as Wine's debug output writes it (L"..." with \\xxxx escapes)."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if re.match(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
                continue
            out.append({"n": "\n", "r": "\r", "t": "\t"}.get(n, n))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


def message_boxes(trace_path):
    """The texts of the message boxes shown so far, from Wine's msgbox trace."""
    try:
        with open(trace_path, encoding="utf-8", errors="replace") as f:
            trace = f.read()
    except FileNotFoundError:
        return []
    return [decode_wine_string(m) for m in re.findall(r'MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"', trace)]


def wait_message_box(trace_path, count, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        boxes = message_boxes(trace_path)
        if len(boxes) >= count:
            return boxes[count - 1]
        time.sleep(0.1)
    raise Failure("no message box appeared")


class WineScenario:
    def __init__(self, args, name):
        self.args = args
        self.name = name
        self.work = tempfile.mkdtemp(prefix="brevlo-e2e-wine-")
        self.prefix = os.path.join(self.work, "prefix")
        base = os.path.join(os.path.abspath(args.base), "prefix")
        if not os.path.isdir(base):
            raise Failure("no base prefix at %s (the e2e_wine_base test makes it)" % base)
        # The base's files are shared through hard links; Wine replaces rather than rewrites
        # the registry files, and these are copied anyway.
        subprocess.run(["cp", "-al", base, self.prefix], check=True)
        for name in ("system.reg", "user.reg", "userdef.reg"):
            path = os.path.join(self.prefix, name)
            os.unlink(path)
            shutil.copy(os.path.join(base, name), path)
        self.browser_log = os.path.join(self.work, "browser.log")
        self.display = None

    def env(self, trace=False):
        env = wine_env(self.prefix, self.display.name if self.display else None, trace)
        env["BREVLO_E2E_BROWSER_LOG"] = self.browser_log
        return env

    def register(self, install_path=INSTALL_WINDOWS):
        argv = ["wine", "reg", "add", "HKCU\\Software\\Mirvo", "/v", "Install Path", "/t",
                "REG_SZ", "/d", install_path, "/f"]
        try:
            run(argv, self.env())
        except Failure as e:
            # Wine's own reg, not the tool: once, in a parallel run, the first start in a fresh
            # prefix ended at once with status 1 and nothing said (WINEDEBUG=-all). Once more,
            # with Wine's errors shown.
            log("retrying: %s" % e)
            env = self.env()
            env.pop("WINEDEBUG")
            run(argv, env)

    def start(self, pack, tool, argv):
        if not self.display:
            self.display = Display()
        self.trace = os.path.join(self.work, "wine-trace.log")
        self.trace_file = open(self.trace, "wb")
        return subprocess.Popen(["wine", tool] + argv, cwd=pack, env=self.env(trace=True),
                                stdout=self.trace_file, stderr=self.trace_file)

    def close(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        if self.display:
            self.display.close()
        if not os.environ.get("BREVLO_E2E_KEEP"):
            shutil.rmtree(self.work, ignore_errors=True)
        else:
            log("kept " + self.work)


def wait_exit(proc, timeout=30):
    try:
        code = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        raise Failure("the tool did not end")
    check(code == 0, "exit status %d" % code)


def shot(args, name):
    os.makedirs(args.artifacts, exist_ok=True)
    return os.path.join(args.artifacts, name)


def wine_scenario(name, args):
    s = WineScenario(args, name)
    try:
        install = install_product(s.prefix, args.stub, with_marks=(name != "capitals"))
        pack, tool = make_pack(s.work, args.tool)
        if name != "missing_key":
            s.register()
        started_file = os.path.join(install, "mirvo-started.txt")

        if name in ("no_argument", "other_word"):
            runs = [[]] if name == "no_argument" else [["markss"], ["import"]]
            for argv in runs:
                proc = s.start(pack, tool, argv)
                seen = []
                begun = time.monotonic()
                while proc.poll() is None and time.monotonic() - begun < 30:
                    seen += visible_windows(s.display.name)
                    time.sleep(0.05)
                wait_exit(proc, timeout=1)
                check(not seen, "%s showed a window" % argv)
                check(not message_boxes(s.trace), "%s showed a message" % argv)
            check_untouched(install)
            check(not os.path.exists(s.browser_log), "the home page opened")
        elif name == "missing_key":
            proc = s.start(pack, tool, ["marks"])
            text = wait_message_box(s.trace, 1)
            check(text == TEXT_NOT_INSTALLED, "the message says %r" % text)
            box = wait_window(s.display.name, CAPTION)
            time.sleep(0.3)
            screenshot(s.display.name, box, shot(args, "wine-error.png"))
            check(not os.path.exists(s.browser_log), "the home page opened before the message closed")
            answer(s.display.name, box, "Return")
            wait_exit(proc)
            deadline = time.monotonic() + 30
            while not os.path.exists(s.browser_log) and time.monotonic() < deadline:
                time.sleep(0.1)
            check(os.path.exists(s.browser_log), "the home page did not open")
            with open(s.browser_log) as f:
                opened = f.read().split()
            check(opened == [HOME_PAGE], "the browser was asked for %r" % opened)
            check_untouched(install)
        elif name in ("yes", "capitals"):
            proc = s.start(pack, tool, ["MARKS", "further"] if name == "capitals" else ["marks"])
            text = wait_message_box(s.trace, 1)
            check(text == TEXT_QUESTION, "the question says %r" % text)
            box = wait_window(s.display.name, CAPTION)
            if name == "yes":
                time.sleep(0.3)
                screenshot(s.display.name, box, shot(args, "wine-question.png"))
            answer(s.display.name, box, "y" if name == "yes" else "n")
            wait_exit(proc)
            if name == "yes":
                deadline = time.monotonic() + 30
                while not os.path.exists(started_file) and time.monotonic() < deadline:
                    time.sleep(0.1)
                check(os.path.exists(started_file), "the product was not started")
                with open(started_file, encoding="utf-8") as f:
                    lines = f.read().splitlines()
                check(lines[1:] == [INSTALL_WINDOWS], "the product started in %r" % lines[1:])
                check_merged(install)
            else:
                data = os.path.join(install, "data")
                check(sorted(os.listdir(data)) == ["MARKS"], "data holds %s" % os.listdir(data))
                got = tree(os.path.join(data, "MARKS"))
                check(got == tree(os.path.join(pack, "marks")), "data\\MARKS is not a copy of the pack")
                check(not os.path.exists(started_file), "the product was started")
        elif name == "no":
            lock = WineCatalogLock(s, install)
            try:
                proc = s.start(pack, tool, ["marks"])
                dialog = wait_window(s.display.name, CAPTION)
                time.sleep(5.3)  # nine ticks and a little: the bar stands at 90
                screenshot(s.display.name, dialog, shot(args, "wine-progress.png"))
                press(s.display.name, dialog, "alt+space")
                time.sleep(0.7)
                screenshot(s.display.name, dialog, shot(args, "wine-system-menu.png"), below=150)
                press(s.display.name, dialog, "Escape")
                time.sleep(0.3)
                about = open_about(s.display.name, dialog)
                time.sleep(0.3)
                screenshot(s.display.name, about, shot(args, "wine-about.png"))
                answer(s.display.name, about, "Return")
                check(proc.poll() is None and not message_boxes(s.trace),
                      "the dialog ended while the import waited")
                check(dialog in visible_windows(s.display.name), "the progress dialog went away")
                # Enter and Esc do nothing.
                press(s.display.name, dialog, "Return", "Escape", "alt+F4")
                time.sleep(0.5)
                check(proc.poll() is None and dialog in visible_windows(s.display.name),
                      "the progress dialog closed early")
            finally:
                lock.release()
            text = wait_message_box(s.trace, 1)
            check(text == TEXT_QUESTION, "the question says %r" % text)
            box = wait_window(s.display.name, CAPTION)
            answer(s.display.name, box, "n")
            wait_exit(proc)
            time.sleep(1)
            check(not os.path.exists(started_file), "the product was started")
            check_merged(install)
        else:
            raise Failure("no scenario " + name)
    finally:
        s.close()


def side_by_side(args):
    native = args.native
    if not native or not os.path.exists(native):
        log("no native build of the tool (%s): skipped" % native)
        return SKIP
    s = WineScenario(args, "side_by_side")
    try:
        s.register()
        install_product(s.prefix, args.stub)
        run(["wineserver", "-w"], s.env(), timeout=60)
        pack, tool = make_pack(s.work, args.tool)
        shutil.copy(native, os.path.join(pack, "brevlo"))
        # Two copies of the same prefix: the Windows build runs in this one, the native build
        # in the other.
        other = os.path.join(s.work, "prefix-native")
        subprocess.run(["cp", "-al", s.prefix, other], check=True)
        shutil.rmtree(os.path.join(other, INSTALL_RELATIVE))
        shutil.copytree(os.path.join(s.prefix, INSTALL_RELATIVE), os.path.join(other, INSTALL_RELATIVE))

        proc = s.start(pack, tool, ["marks"])
        wait_message_box(s.trace, 1)
        answer(s.display.name, wait_window(s.display.name, CAPTION), "n")
        wait_exit(proc)

        env = native_env(other, "/nonexistent")
        result = subprocess.run([os.path.join(pack, "brevlo"), "marks"], cwd=pack, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True, timeout=60)
        check(result.returncode == 0, "native exit status %d:\n%s"
              % (result.returncode, result.stdout.decode("utf-8", "replace")))

        windows_tree = tree(os.path.join(s.prefix, INSTALL_RELATIVE))
        native_tree = tree(os.path.join(other, INSTALL_RELATIVE))
        check(sorted(windows_tree) == sorted(native_tree),
              "the builds left different files:\nWindows: %s\nnative:  %s"
              % (sorted(windows_tree), sorted(native_tree)))
        for path in windows_tree:
            check(windows_tree[path] == native_tree[path], "%s differs between the builds" % path)
        check_merged(os.path.join(other, INSTALL_RELATIVE))
        # Each build keeps one receipt, in the same folder of the prefix's user profile.
        folders = []
        for p in (s.prefix, other):
            found = glob.glob(os.path.join(p, "drive_c", "users", "*", "AppData", "Local",
                                           "Brevlo", "Receipts", "*.xml"))
            check(len(found) == 1, "receipts in %s: %s" % (p, found))
            folders.append(os.path.dirname(os.path.relpath(found[0], p)))
        check(folders[0] == folders[1], "the builds keep their receipts apart: %s" % folders)
        log("%d entries identical" % len(windows_tree))
    finally:
        s.close()
    return 0


def wine_unit(args):
    """A test program of the Windows build that needs windows: under Xvfb in a copy of the base
    prefix, where nothing may be skipped."""
    s = WineScenario(args, "unit")
    try:
        s.display = Display()
        proc = subprocess.run(["wine", args.tool], env=s.env(), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=300)
        output = proc.stdout.decode("utf-8", "replace")
        print(output, flush=True)
        check(proc.returncode == 0, "exit status %d" % proc.returncode)
        check("[  SKIPPED ]" not in output, "tests were skipped with a display at hand")
    finally:
        s.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["native", "wine-base", "wine", "wine-unit", "side-by-side"])
    parser.add_argument("scenario", nargs="?")
    parser.add_argument("--tool")
    parser.add_argument("--native")
    parser.add_argument("--stub")
    parser.add_argument("--base")
    parser.add_argument("--artifacts", default=".")
    args = parser.parse_args()
    if args.artifacts:
        os.makedirs(args.artifacts, exist_ok=True)
    try:
        if args.mode == "native":
            native_scenario(args.scenario, args)
        elif args.mode == "wine-base":
            wine_base(args)
        elif args.mode == "wine":
            wine_scenario(args.scenario, args)
        elif args.mode == "wine-unit":
            wine_unit(args)
        else:
            code = side_by_side(args)
            if code:
                return code
    except Failure as e:
        print("FAILED: %s" % e, flush=True)
        return 1
    log("passed")
    return 0


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main())
