#!/usr/bin/env python3
"""Times the whole import of a pack of small files, as users run it: the Windows build under
Wine, the native build, and `cp -rn` of the same tree, into an empty product data folder.

    wine_import.py --exe brevlo.exe --stub mirvo.exe --native brevlo --work DIR --out JSON
                   [--files 20000,5000] [--repetitions N]

Each pack holds files of 1 KB in 20 folders beside the sample pack's catalog. The Windows build
runs in a prefix of its own (made once in DIR, kept for later runs) with a warm `wineserver`
(`wineserver -p`, and one import thrown away first), on a private Xvfb; its time runs from the
start of `wine` to the question that ends the import, which is then answered No. The native
build runs in the same prefix without a terminal, which answers No itself, and is timed to its
exit. Every destination is removed and `sync` run before each timed run. The best of the
repetitions is written as Google Benchmark JSON, for report.py.
"""

import argparse
import codecs
import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from e2e import Display  # noqa: E402  the tests' private Xvfb

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSTALL_WINDOWS = "C:\\Program Files\\MirvoPix"
INSTALL_RELATIVE = os.path.join("drive_c", "Program Files", "MirvoPix")
FOLDERS = 20
FILE_BYTES = 1024
QUESTION = "导入完成，是否试用MirvoPix？"


def log(text):
    print(text, file=sys.stderr, flush=True)


def reg_file(text):
    return codecs.BOM_UTF16_LE + text.replace("\n", "\r\n").encode("utf-16-le")


class Wine:
    def __init__(self, work):
        self.prefix = os.path.join(work, "prefix")
        self.display = None
        self.xvfb = None

    def env(self, trace=False):
        env = dict(os.environ)
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEDEBUG": "-all,trace+msgbox" if trace else "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "LC_ALL": "zh_CN.UTF-8",
        })
        env.pop("DISPLAY", None)
        if self.display:
            env["DISPLAY"] = self.display
        return env

    def run(self, argv, timeout=300):
        subprocess.run(argv, env=self.env(), check=True, timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def make_prefix(self, stub):
        """A prefix with the product's registry entry and the product (mirvo.exe) installed;
        made once, kept for later runs."""
        stamp = os.path.join(self.prefix, "brevlo-bench-ready")
        if os.path.exists(stamp):
            return
        log("wine_import: making a Wine prefix in " + self.prefix)
        shutil.rmtree(self.prefix, ignore_errors=True)
        self.run(["wineboot", "-i"])
        setup = os.path.join(self.prefix, "setup.reg")
        with open(setup, "wb") as f:
            # Without a window manager Wine would wait on every show and hide.
            f.write(reg_file("Windows Registry Editor Version 5.00\n\n"
                             "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"
                             '"Managed"="N"\n"Decorated"="N"\n\n'
                             "[HKEY_CURRENT_USER\\Software\\Mirvo]\n"
                             '"Install Path"="%s"\n' % INSTALL_WINDOWS.replace("\\", "\\\\")))
        self.run(["wine", "regedit", "/S", setup])
        # The registry reaches user.reg, which the native build reads, as the server ends.
        self.run(["wineserver", "-w"])
        install = os.path.join(self.prefix, INSTALL_RELATIVE)
        os.makedirs(os.path.join(install, "data"), exist_ok=True)
        shutil.copy(stub, os.path.join(install, "mirvo.exe"))
        open(stamp, "w").close()

    def start(self):
        self.xvfb = Display()
        self.display = self.xvfb.name
        subprocess.run(["wineserver", "-p"], env=self.env(), check=True)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        if self.xvfb:
            self.xvfb.close()

    def data(self):
        return os.path.join(self.prefix, INSTALL_RELATIVE, "data", "marks")

    def answer_no(self):
        env = dict(os.environ, DISPLAY=self.display)
        for _ in range(100):
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^MirvoPix$"],
                                   env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                   timeout=30).stdout.split()
            if found:
                subprocess.run(["xdotool", "windowfocus", "--sync", found[0], "key", "n"],
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               timeout=30)
                return
            time.sleep(0.1)
        raise RuntimeError("the question did not appear on the display")

    def import_once(self, pack):
        """Seconds from the start of wine to the question that ends the import."""
        trace = os.path.join(os.path.dirname(pack), "wine-trace.log")
        with open(trace, "wb") as out:
            started = time.monotonic()
            proc = subprocess.Popen(["wine", "brevlo.exe", "marks"], cwd=pack,
                                    env=self.env(trace=True), stdout=out, stderr=out)
            while True:
                with open(trace, "rb") as f:
                    text = f.read()
                if b"MSGBOX_OnInit" in text:
                    elapsed = time.monotonic() - started
                    break
                if proc.poll() is not None:
                    raise RuntimeError("brevlo.exe ended without its question:\n" +
                                       text.decode("utf-8", "replace"))
                time.sleep(0.005)
        shown = decode_wine_string(re.search(rb'MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"', text)
                                   .group(1).decode("utf-8", "replace"))
        for _ in range(20):
            self.answer_no()
            try:
                proc.wait(timeout=3)
                break
            except subprocess.TimeoutExpired:
                continue
        if proc.wait(timeout=30) != 0:
            raise RuntimeError("brevlo.exe ended with status %d" % proc.returncode)
        if QUESTION not in shown:
            raise RuntimeError("brevlo.exe asked something else: " + shown)
        return elapsed


def decode_wine_string(text):
    """A string as Wine's debug output writes it (\\xxxx for a character outside ASCII)."""
    return re.sub(r"\\([0-9a-fA-F]{4})", lambda m: chr(int(m.group(1), 16)), text)


def make_pack(work, files, exe, native):
    """A pack of `files` files in 20 folders with the sample pack's catalog, the two builds of
    the tool beside it; made once."""
    pack = os.path.join(work, "pack-%d" % files)
    stamp = os.path.join(pack, "ready")
    if not os.path.exists(stamp):
        shutil.rmtree(pack, ignore_errors=True)
        marks = os.path.join(pack, "marks")
        os.makedirs(marks)
        with open(os.path.join(SOURCE, "examples", "pack", "marks", "config.xml"), "rb") as f:
            catalog = f.read().decode("utf-8").encode("gbk")
        with open(os.path.join(marks, "config.xml"), "wb") as f:
            f.write(catalog)
        content = bytes((i * 7 + 3) % 251 for i in range(FILE_BYTES))
        per = files // FOLDERS
        for folder in range(FOLDERS):
            here = os.path.join(marks, "album%02d" % folder)
            os.mkdir(here)
            for i in range(per):
                with open(os.path.join(here, "mark%05d.png" % i), "wb") as f:
                    f.write(content)
        open(stamp, "w").close()
    shutil.copy(exe, os.path.join(pack, "brevlo.exe"))
    shutil.copy(native, os.path.join(pack, "brevlo"))
    return pack


def count_files(folder):
    return sum(len(names) for _, _, names in os.walk(folder))


class Destinations:
    """Empties a destination by moving what the last run left into a folder of its own, removed
    only at the end: ext4 without a journal skips recently freed inodes one by one when it
    allocates, so files deleted just before a run would slow every creation of that run."""

    def __init__(self, work):
        self.trash = os.path.join(work, "done")
        shutil.rmtree(self.trash, ignore_errors=True)
        os.makedirs(self.trash)
        self.count = 0

    def fresh(self, folder):
        if os.path.exists(folder):
            self.count += 1
            os.rename(folder, os.path.join(self.trash, str(self.count)))
        subprocess.run(["sync"], check=True)

    def clear(self):
        shutil.rmtree(self.trash, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--stub", required=True)
    parser.add_argument("--native", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--files", default="20000,5000")
    parser.add_argument("--repetitions", type=int, default=3)
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    os.makedirs(work, exist_ok=True)
    counts = [int(n) for n in args.files.split(",")]
    wine = Wine(work)
    wine.make_prefix(os.path.abspath(args.stub))
    packs = {n: make_pack(work, n, os.path.abspath(args.exe), os.path.abspath(args.native))
             for n in counts}
    best = {}

    def note(name, seconds):
        if name not in best or seconds < best[name]:
            best[name] = seconds

    data = wine.data()
    destinations = Destinations(work)
    fresh = destinations.fresh
    wine.start()
    try:
        # The first import of a fresh server loads what every later one finds loaded.
        fresh(data)
        wine.import_once(packs[min(counts)])
        for n in counts:
            expected = count_files(os.path.join(packs[n], "marks"))
            for _ in range(args.repetitions):
                fresh(data)
                seconds = wine.import_once(packs[n])
                if count_files(data) != expected:
                    raise RuntimeError("brevlo.exe left %d files of %d" % (count_files(data), expected))
                note("BM_WineImport/%d" % n, seconds)
                log("wine_import: brevlo.exe, %d files: %.2f s" % (n, seconds))

                fresh(data)
                started = time.monotonic()
                subprocess.run([os.path.join(packs[n], "brevlo"), "marks"], cwd=packs[n],
                               env=wine.env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, check=True, timeout=600)
                seconds = time.monotonic() - started
                if count_files(data) != expected:
                    raise RuntimeError("brevlo left %d files of %d" % (count_files(data), expected))
                note("BM_NativeImport/%d" % n, seconds)
                log("wine_import: brevlo, %d files: %.2f s" % (n, seconds))

                fresh(data)
                os.makedirs(data)
                started = time.monotonic()
                subprocess.run(["cp", "-rn", os.path.join(packs[n], "marks") + "/.", data + "/"],
                               check=True)
                note("BM_CpRnPack/%d" % n, time.monotonic() - started)
        fresh(data)
    finally:
        wine.stop()
        destinations.clear()
    report = {"context": {"what": "wine_import.py"},
              "benchmarks": [{"name": name, "run_name": name, "run_type": "iteration",
                              "real_time": seconds * 1000.0, "time_unit": "ms"}
                             for name, seconds in sorted(best.items())]}
    with open(args.out, "w") as f:
        json.dump(report, f, indent=1)


if __name__ == "__main__":
    sys.exit(main())
