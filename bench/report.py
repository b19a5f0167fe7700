#!/usr/bin/env python3
"""Prints the benchmark table: our figures, the peers' figures, the ratios and the goals.

Reads the Google Benchmark JSON files given on the command line. Where a benchmark ran several
times (--benchmark_repetitions), the best time is taken: the machine is shared and the best run
is the one least disturbed.
"""
import json
import sys


def load(paths):
    runs = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        for b in data["benchmarks"]:
            if b.get("run_type") == "aggregate" or b.get("error_occurred"):
                continue
            name = b["run_name"].split("/iterations")[0].split("/manual_time")[0]
            best = runs.get(name)
            if best is None or b["real_time"] < best["real_time"]:
                runs[name] = b
    return runs


def ms(run):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[run.get("time_unit", "ns")]
    return run["real_time"] * scale


def main():
    runs = load(sys.argv[1:])
    rows = []
    verdicts = []

    def get(name):
        return runs.get(name)

    def compare(what, ours, peer, goal=None, note=""):
        o, p = get(ours), get(peer)
        if not o or not p:
            rows.append((what, "-", "-", "-", goal_text(goal), "not run"))
            return
        ratio = ms(o) / ms(p)
        met = "" if goal is None else ("met" if ratio <= goal else "MISSED")
        if goal is not None:
            verdicts.append((what, ratio, goal, met))
        rows.append((what, f"{ms(o):.2f} ms", f"{ms(p):.2f} ms", f"{ratio:.2f}", goal_text(goal),
                     (met + " " + note).strip()))

    def goal_text(goal):
        return "" if goal is None else f"<= {goal:g}"

    for mb in (1, 10):
        goal = 0.9 if mb == 10 else None
        compare(f"ParseDocument {mb} MB vs pugixml parse_minimal", f"BM_ParseDocument/{mb}",
                f"BM_PugixmlParseMinimal/{mb}")
        compare(f"ParseDocument {mb} MB vs pugixml parse_minimal in place",
                f"BM_ParseDocument/{mb}", f"BM_PugixmlParseMinimalInPlace/{mb}", goal)
        for peer, label in (("PugixmlParseDefault", "pugixml parse_default"),
                            ("ExpatParse", "expat"), ("Tinyxml2Parse", "tinyxml2"),
                            ("Libxml2Parse", "libxml2")):
            compare(f"ParseDocument {mb} MB vs {label}", f"BM_ParseDocument/{mb}",
                    f"BM_{peer}/{mb}")
    compare("LoadFile 10 MB cp936 vs pugixml load_file UTF-8", "BM_LoadFileCp936/10",
            "BM_PugixmlLoadFileUtf8/10", 1.0)
    for scale in (1, 10):
        peer = get(f"BM_PugixmlImportCatalogStep/{scale}")
        same = peer and peer.get("same_output") == 1
        compare(f"Import catalog step x{scale} vs pugixml merge",
                f"BM_ImportCatalogStep/{scale}", f"BM_PugixmlImportCatalogStep/{scale}", 1.0,
                "(same output)" if same else "(OUTPUT DIFFERS)")
    compare("Import catalog step: x10 time / x1 time", "BM_ImportCatalogStep/10",
            "BM_ImportCatalogStep/1", 10.5)
    compare("10,000 mixed AppendSubtree and SetContent in one batch, 10 MB, vs one ParseDocument",
            "BM_BatchMixedEdits/10", "BM_ParseDocument/10", 2.0)
    compare("Import catalog step (pugixml): x10 / x1", "BM_PugixmlImportCatalogStep/10",
            "BM_PugixmlImportCatalogStep/1")
    compare("CopyTree into an empty folder vs cp -rn", "BM_CopyTreeIntoEmpty", "BM_CpRnIntoEmpty",
            1.1)
    compare("CopyTree into a full folder vs cp -rn", "BM_CopyTreeIntoFull", "BM_CpRnIntoFull", 1.1)
    # The whole import of a pack of small files (bench/wine_import.py); the counts are the
    # largest and smallest it ran, 20,000 and 5,000 in a full run.
    counts = sorted({int(name.split("/")[1]) for name in runs if name.startswith("BM_WineImport/")})
    if counts:
        big, small = counts[-1], counts[0]
        full = big == 20000 and small == 5000
        compare(f"Windows build under Wine, {big:,} files into an empty folder vs cp -rn",
                f"BM_WineImport/{big}", f"BM_CpRnPack/{big}", 20 if full else None)
        compare(f"Windows build under Wine, {big:,} files / {small:,} files",
                f"BM_WineImport/{big}", f"BM_WineImport/{small}", 4.5 if full else None)
        compare(f"Native build, {big:,} files into an empty folder vs cp -rn",
                f"BM_NativeImport/{big}", f"BM_CpRnPack/{big}")
        compare(f"Native build, {big:,} files / {small:,} files", f"BM_NativeImport/{big}",
                f"BM_NativeImport/{small}")
        compare(f"Windows build under Wine vs native build, {big:,} files",
                f"BM_WineImport/{big}", f"BM_NativeImport/{big}")

    # Figures without a peer.
    extra = []
    for name, label in (("BM_AppendSubtreeAtEnd", "10,000 AppendSubtree at the end of the albums"),
                        ("BM_AppendSubtreeInMiddle", "10,000 AppendSubtree in the middle"),
                        ("BM_SetContent", "10,000 SetContent")):
        one, ten = get(f"{name}/1"), get(f"{name}/10")
        if one and ten:
            extra.append((label, f"{ms(one):.0f} ms (1 MB)", f"{ms(ten):.0f} ms (10 MB)",
                          f"x{ms(ten) / ms(one):.1f}", "", "growth with size"))
    parse = get("BM_ParseDocument/10")
    if parse:
        per = parse.get("index_bytes_per_element", 0)
        alloc = parse.get("index_allocated_bytes_per_element", 0)
        met = "met" if per <= 32 else "MISSED"
        verdicts.append(("Index bytes per element", per, 32, met))
        extra.append(("Index bytes per element (10 MB)", f"{per:.0f} B in use",
                      f"{alloc:.1f} B allocated", "", "<= 32", met))
    peak = get("BM_ImportPeakMemory/100")
    if peak:
        ratio = peak["peak_per_utf16_byte"]
        met = "met" if ratio <= 2 else "MISSED"
        verdicts.append(("Import peak memory / UTF-16 text", ratio, 2, met))
        extra.append(("Import of a 100 MB cp936 product: peak memory",
                      f"{peak['peak_bytes'] / 1e6:.0f} MB", f"{peak['utf16_bytes'] / 1e6:.0f} MB UTF-16",
                      f"{ratio:.2f}", "<= 2", met))

    header = ("what", "ours", "peer", "ratio", "goal", "")
    table = [header] + rows + extra
    widths = [max(len(r[i]) for r in table) for i in range(len(header))]
    line = "| " + " | ".join(h.ljust(w) for h, w in zip(header, widths)) + " |"
    print(line)
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows + extra:
        print("| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
    missed = [v for v in verdicts if v[3] != "met"]
    print()
    print(f"goals: {len(verdicts) - len(missed)} met, {len(missed)} missed")
    for what, ratio, goal, _ in missed:
        print(f"  missed: {what}: {ratio:.2f} against {goal:g}")


if __name__ == "__main__":
    main()
