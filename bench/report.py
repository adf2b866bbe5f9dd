#!/usr/bin/env python3
"""Turns the raw lines of a benchmark run (bench/results/raw/) into the
printed table, results.md, results.csv and chart.png (drawn by gnuplot).

usage: report.py RAW_DIR RESULTS_DIR
Exits 1 when the detections of the contenders disagree."""
import csv
import glob
import os
import re
import shlex
import statistics
import subprocess
import sys

LABELS = {
    "pass": "file pass (Wine)",
    "walk": "bare walk (Wine)",
    "report": "pass without checks (Wine)",
    "check": "straightforward check (Wine)",
    "clamscan": "clamscan -r (native)",
    "find": "find -printf (native)",
    "quellix": "quellix-scan (native)",
    "scanexe": "quellix-scan.exe (Wine)",
    "bfs": "bfs -printf (native)",
    "fd8": "fd -j 8 -S (native)",
    "fd32": "fd -j 32 -S (native)",
}
NATIVE = ["quellix", "find", "bfs", "fd8", "fd32", "clamscan"]
# Cold runs of a native contender: "<name>-cold".
for _c in NATIVE:
    LABELS[_c + "-cold"] = LABELS[_c].replace("(native)", "(native, cold)")
CHART_ORDER = ["find", "quellix", "quellix-cold", "fd8-cold", "walk", "pass", "scanexe", "check", "clamscan"]
TABLE_ORDER = ["walk", "pass", "scanexe", "report", "check"] + NATIVE + [c + "-cold" for c in NATIVE]


def fields(line):
    kind, _, rest = line.partition(" ")
    values = {}
    for token in shlex.split(rest):
        key, _, value = token.partition("=")
        values[key] = value
    return kind, values


def read_lines(path):
    if not os.path.exists(path):  # a native-only run has no Wine figures
        return []
    with open(path, encoding="utf-8", errors="replace") as f:
        return [l.rstrip("\r\n") for l in f if l.strip()]


def summary(times):
    times = sorted(times)
    median = statistics.median(times)
    return median, times[0], times[-1]


def fmt_int(n):
    return "{:,}".format(int(n)).replace(",", " ")


def main():
    raw, out = sys.argv[1], sys.argv[2]
    machine = {}
    for line in read_lines(os.path.join(raw, "machine.txt")):
        kind, values = fields(line)
        machine.setdefault(kind, {}).update(values)

    trees = {}
    for path in glob.glob(os.path.join(raw, "tree-*.txt")):
        size = int(re.search(r"tree-(\d+)", path).group(1))
        tree = {"runs": {}, "files": {}, "detections": {}, "rows": {}, "memory": {}, "info": {}}
        for line in read_lines(path):
            if line.startswith("row "):
                head, *cells = line.split("\t")
                contender = head.split("=", 1)[1]
                tree["rows"].setdefault(contender, []).append(cells)
                continue
            kind, values = fields(line)
            if kind == "run":
                c = values["contender"] + ("-cold" if values.get("cache") == "cold" else "")
                tree["runs"].setdefault(c, []).append(float(values["seconds"]))
                if "peak_rss_kib" in values:
                    peaks = tree.setdefault("peak_rss", {})
                    peaks[c] = max(peaks.get(c, 0), int(values["peak_rss_kib"]))
                tree["files"][c] = int(values["files"])
                tree["detections"][c] = int(values["detections"])
            elif kind == "memory":
                tree["memory"][values["when"]] = values
            elif kind == "tree":
                tree["info"] = values
        trees[size] = tree
    sizes = sorted(trees)

    # Per-contender figures.
    rows = []
    for size in sizes:
        tree = trees[size]
        for c in TABLE_ORDER:
            if c not in tree["runs"]:
                continue
            median, low, high = summary(tree["runs"][c])
            files = tree["files"][c]
            rows.append({
                "peak": tree.get("peak_rss", {}).get(c),
                "workload": size, "contender": c, "label": LABELS[c], "files": files,
                "runs": len(tree["runs"][c]), "median": median, "min": low, "max": high,
                "spread": (high - low) / median * 100 if median else 0,
                "rate": files / median if median else 0,
                "us": median / files * 1e6 if files else 0,
                "detections": tree["detections"][c],
            })
    by = {(r["workload"], r["contender"]): r for r in rows}

    # Detections must agree: the file pass, the straightforward check and
    # clamscan name the same files of the tree (the pass may not detect
    # anything on the prefix's C: drive).
    agreement = []
    agree_all = True
    for size in sizes:
        tree = trees[size]
        def tree_paths(contender):
            found = set()
            for cells in tree["rows"].get(contender, []):
                path = cells[0]
                found.add(path[3:].replace("\\", "/") if path.upper().startswith("D:\\") else "C:" + path)
            return found
        found = {}
        if "pass" in tree["runs"]:
            found["file pass"] = tree_paths("pass")
        if "check" in tree["runs"]:
            found["straightforward check"] = tree_paths("check")
        if "scanexe" in tree["runs"]:
            found["quellix-scan.exe"] = tree_paths("scanexe")
        for c, label in (("clamscan", "clamscan"), ("quellix", "quellix-scan")):
            if c in tree["runs"]:
                found[label] = {cells[0] for cells in tree["rows"].get(c, [])}
        planted = int(tree["info"].get("specimens", "0"))
        sets = list(found.values())
        same = bool(sets) and all(f == sets[0] for f in sets) and len(sets[0]) == planted
        agree_all &= same
        agreement.append("%s files: planted %d; %s: %s" % (
            fmt_int(size), planted, ", ".join("%s %d" % (k, len(v)) for k, v in found.items()),
            "the same files" if same else "DISAGREE"))

    memory_runs = {}
    for line in read_lines(os.path.join(raw, "memory.txt")):
        kind, values = fields(line)
        if kind == "run":
            key = (values["contender"], int(values["extra"]))
            memory_runs.setdefault(key, {"times": [], "values": values})["times"].append(float(values["seconds"]))
    probes = {}
    probe_file = {}
    for line in read_lines(os.path.join(raw, "probe.txt")):
        kind, values = fields(line)
        if kind == "probe":
            probes[values["contender"]] = values
        elif kind == "probe-file":
            probe_file = values

    # ---- text ----
    lines = []
    add = lines.append
    nproc = machine.get("machine", {}).get("nproc", "?")
    mem_gib = int(machine.get("machine", {}).get("memory_kib", "0")) / 1024 / 1024
    add("Machine: %s cores (nproc), %.1f GiB memory, %s; %s; %s; Windows build: %s (run under Wine)." % (
        nproc, mem_gib, machine.get("machine", {}).get("cpu", "?"), machine.get("versions", {}).get("wine", "?"),
        machine.get("versions", {}).get("clamscan", "?"), machine.get("versions", {}).get("build", "?")))
    add("Load average (1, 5, 15 min): %s before, %s after; the whole command took %s s." % (
        machine.get("load", {}).get("before", "?"), machine.get("load", {}).get("after", "?"),
        machine.get("load", {}).get("elapsed_seconds", "?")))
    add("")
    add("Trees (fixed seed 20061): " + "; ".join(
        "%s files in %s directories, %.0f MB of content, %s at signature sizes, %s forged specimens" % (
            fmt_int(trees[s]["info"].get("planted_files", 0)), fmt_int(trees[s]["info"].get("directories", 0)),
            int(trees[s]["info"].get("bytes", 0)) / 1e6, trees[s]["info"].get("candidates", "?"),
            trees[s]["info"].get("specimens", "?")) for s in sizes))
    add("Windows contenders are timed inside bench.exe with QueryPerformanceCounter (Wine's start-up excluded) and")
    add("walk every fixed drive of the prefix: the tree as D: plus the prefix's own C: (hence more files). Native")
    add("contenders are timed around the whole command, in rounds that run each once in a fresh random order, warm")
    add("(after an untimed round) and cold (the page cache dropped before each run); their peak resident size is")
    add("GNU time's. Median of the runs, spread = (max - min) / median.")
    if machine.get("cache", {}).get("drop") == "0":
        add("The page cache could not be dropped here (not root): no cold runs, warm figures only.")
    add("")
    header = ("| tree | contender | files | runs | median s | min - max s | spread | files/s | us/file | detections "
              "| peak MiB |")
    add(header)
    add("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in rows:
        add("| %s | %s | %s | %d | %.3f | %.3f - %.3f | %.0f%% | %s | %.1f | %d | %s |" % (
            fmt_int(r["workload"]), r["label"], fmt_int(r["files"]), r["runs"], r["median"], r["min"], r["max"],
            r["spread"], fmt_int(r["rate"]), r["us"], r["detections"],
            "%.1f" % (r["peak"] / 1024) if r["peak"] else ""))
    add("")
    if memory_runs:
        add("| memory sweep, ids 0..65534 | extra processes | runs | median s | min - max s | answered ids / modules |")
        add("|---|---:|---:|---:|---:|---:|")
    for (c, extra), m in sorted(memory_runs.items(), key=lambda kv: (kv[0][1], ["openprocess", "snapshots", "memorypass"].index(kv[0][0]))):
        median, low, high = summary(m["times"])
        what = {"openprocess": "%s ids answered" % m["values"].get("answered"),
                "snapshots": "%s module snapshots" % m["values"].get("processes"),
                "memorypass": "%s modules checked" % m["values"].get("modules")}[c]
        label = {"openprocess": "bare OpenProcess sweep", "snapshots": "sweep + one module snapshot per process",
                 "memorypass": "memory pass (ScanMemory)"}[c]
        add("| %s | %d | %d | %.3f | %.3f - %.3f | %s |" % (label, extra, len(m["times"]), median, low, high, what))
    if memory_runs:
        add("")
    if probes:
        add("CheckFile on one %s-byte candidate that matches no row (%s call(s) per kind, median):" % (
            probe_file.get("size", "?"), probes["checkfile"].get("calls")))
        for c, label in (("checkfile", "CheckFile (one open, one read)"),
                         ("rowbyrow", "row-by-row check (open for the size, then one read per row of that size)")):
            p = probes.get(c)
            if p:
                add("- %s: %.0f us, %s bytes in %s ReadFile call(s) per check" % (
                    label, float(p["median_seconds"]) * 1e6, p["bytes_per_call"], p["reads_per_call"]))
        parts = [(c, l) for c, l in (("getattributes", "GetFileAttributesA"),
                                      ("openclose", "CreateFileA + GetFileSize + CloseHandle"),
                                      ("setattributes", "SetFileAttributesA")) if c in probes]
        if parts:
            add("- its system calls alone: " + "; ".join(
                "%s %.0f us" % (l, float(probes[c]["median_seconds"]) * 1e6) for c, l in parts))
        rows_of_size = int(probe_file.get("rows_of_size", "1"))
        add("- Bytes are counted at bench.exe's own import of ReadFile (Wine reports no process I/O counters:"
            " GetProcessIoCounters gave %s bytes per call)." % probes["checkfile"].get("io_counter_bytes_per_call"))
        add("- The built-in table has %d row(s) of 1536 bytes; with the 14 rows of that size the full table has,"
            " the row-by-row check would read 14 x 1536 = 21 504 bytes per such file, CheckFile still 1536." % rows_of_size)
        add("")
    peaks = []
    for size in sizes:
        m = trees[size]["memory"]
        if "after-pass" in m:
            peaks.append((size, int(m["before"]["peak_working_set"]), int(m["after-pass"]["peak_working_set"]),
                          int(m["after-pass"]["peak_pagefile"])))
    if peaks:
        add("Peak memory of bench.exe (GetProcessMemoryInfo), before any walk and after the first file pass: " + "; ".join(
            "%s files: %.1f -> %.1f MiB working set, %.1f MiB private" % (
                fmt_int(s), b / 2**20, a / 2**20, pf / 2**20) for s, b, a, pf in peaks))
        add("")

    # Targets.
    add("Targets:")
    for size in sizes:
        # Walk and pass run back to back in each run: the median of the
        # per-run ratios is less exposed to the load of the moment.
        runs_p, runs_w = trees[size]["runs"].get("pass", []), trees[size]["runs"].get("walk", [])
        runs_r = trees[size]["runs"].get("report", [])
        if runs_p and runs_w:
            ratio = statistics.median(p / w for p, w in zip(runs_p, runs_w))
            extra = ""
            if runs_r:
                extra = " (without the checks: %.2f)" % statistics.median(r / w for r, w in zip(runs_r, runs_w))
            add("- %s files: file pass / bare walk = %.2f, median of the per-run ratios%s (target <= 1.10): %s" % (
                fmt_int(size), ratio, extra, "met" if ratio <= 1.10 else "MISSED"))
    for size in sizes:
        q, f, c = by.get((size, "quellix")), by.get((size, "find")), by.get((size, "clamscan"))
        if q and f:
            # Run back to back in the same way: medians of each.
            ratio = q["median"] / f["median"]
            add("- %s files: quellix-scan / find -printf wall time = %.2f (target <= 1.3): %s" % (
                fmt_int(size), ratio, "met" if ratio <= 1.3 else "MISSED"))
        if q and c:
            ratio = c["median"] / q["median"]
            add("- %s files: clamscan -r / quellix-scan wall time = %.1f (target >= 20): %s" % (
                fmt_int(size), ratio, "met" if ratio >= 20 else "MISSED"))
    for size in sizes:
        # Paired by round: each round ran every contender once, back to back.
        runs = trees[size]["runs"]
        q, f = runs.get("quellix"), runs.get("find")
        if q and f:
            ratio = statistics.median(a / b for a, b in zip(q, f))
            add("- %s files, warm: quellix-scan / find -printf = %.2f, median of the per-round ratios (target <= 1.0): %s" % (
                fmt_int(size), ratio, "met" if ratio <= 1.0 else "MISSED"))
        q, f8, f32 = runs.get("quellix-cold"), runs.get("fd8-cold"), runs.get("fd32-cold")
        if q and f8 and f32:
            ratio = statistics.median(a / min(b, c) for a, b, c in zip(q, f8, f32))
            add("- %s files, cold: quellix-scan / the better of fd -j 8 and fd -j 32 = %.2f, median of the per-round"
                " ratios (target <= 0.9): %s" % (fmt_int(size), ratio, "met" if ratio <= 0.9 else "MISSED"))
    rss = [(s, max(v for k, v in trees[s].get("peak_rss", {}).items() if k.startswith("quellix")))
           for s in sizes if any(k.startswith("quellix") for k in trees[s].get("peak_rss", {}))]
    if rss:
        add("- quellix-scan peak resident size (warm or cold, the larger): %s" % ", ".join(
            "%.1f MiB at %s" % (k / 1024, fmt_int(s)) for s, k in rss))
        flat = [(s, k) for s, k in rss if s >= 100000]
        if len(flat) > 1:
            growth = (flat[-1][1] - flat[0][1]) / 1024
            add("- quellix-scan peak memory from %s to %s files grows %.1f MiB (target: flat within 2 MiB): %s" % (
                fmt_int(flat[0][0]), fmt_int(flat[-1][0]), growth, "met" if abs(growth) <= 2 else "MISSED"))
    middle = 100000 if 100000 in sizes else sizes[len(sizes) // 2]
    p = by.get((middle, "pass"))
    for c in ("check", "clamscan"):
        r = by.get((middle, c))
        if p and r:
            ratio = r["us"] / p["us"]
            add("- %s files: %s costs %.2f x the file pass per file (target >= 10): %s" % (
                fmt_int(middle), LABELS[c], ratio, "met" if ratio >= 10 else "MISSED"))
    per_file = [(s, by[(s, "pass")]["us"]) for s in sizes if (s, "pass") in by]
    if len(per_file) > 1:
        spread = max(u for _, u in per_file) / min(u for _, u in per_file)
        add("- file pass cost per file: %s (largest / smallest = %.2f; flat means near 1)" % (
            ", ".join("%.1f us at %s" % (u, fmt_int(s)) for s, u in per_file), spread))
    for extra in sorted({e for _, e in memory_runs}):
        o, m = memory_runs.get(("openprocess", extra)), memory_runs.get(("memorypass", extra))
        if o and m:
            ratio = statistics.median(a / b for a, b in zip(m["times"], o["times"]))
            add("- memory pass / bare OpenProcess sweep with %d extra processes = %.2f (target <= 1.10): %s" % (
                extra, ratio, "met" if ratio <= 1.10 else "MISSED"))
    if peaks:
        add("- peak working set after the file pass: %s" % ", ".join(
            "%.1f MiB at %s" % (a / 2**20, fmt_int(s)) for s, _, a, _ in peaks))
    add("")
    add("Detections:")
    for a in agreement:
        add("- " + a)

    text = "\n".join(lines) + "\n"
    print(text)
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write("# Benchmark results\n\n" + text + "\n![files per second against tree size](chart.png)\n")

    with open(os.path.join(out, "results.csv"), "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(["workload", "contender", "files", "runs", "median_seconds", "min_seconds", "max_seconds",
                    "files_per_second", "us_per_file", "detections"])
        for r in rows:
            w.writerow([r["workload"], r["contender"], r["files"], r["runs"], "%.6f" % r["median"],
                        "%.6f" % r["min"], "%.6f" % r["max"], "%.0f" % r["rate"], "%.2f" % r["us"], r["detections"]])
        for (c, extra), m in sorted(memory_runs.items()):
            median, low, high = summary(m["times"])
            w.writerow(["memory-extra-%d" % extra, c, "", len(m["times"]), "%.6f" % median, "%.6f" % low,
                        "%.6f" % high, "", "", m["values"].get("detections", "")])
        for c, p in sorted(probes.items()):
            w.writerow(["probe-1536", c, 1, p["calls"], p["median_seconds"], p["min_seconds"], p["max_seconds"],
                        "", "", p["matched"]])

    # Chart: files per second against tree size, one line per contender.
    data = os.path.join(out, "chart.dat")
    with open(data, "w") as f:
        for c in CHART_ORDER:
            f.write("# %s\n" % c)
            for s in sizes:
                if (s, c) in by:
                    f.write("%d %.1f\n" % (s, by[(s, c)]["rate"]))
            f.write("\n\n")
    colours = {"find": "#777777", "walk": "#1b7837", "pass": "#2166ac", "check": "#e08214", "clamscan": "#b2182b",
               "quellix": "#762a83", "scanexe": "#5aae61", "quellix-cold": "#c2a5cf", "fd8-cold": "#bababa"}
    plots = ", ".join("'%s' index %d using 1:2 with linespoints lw 2.5 pt 7 ps 1.4 lc rgb '%s' title '%s'" % (
        data, i, colours[c], LABELS[c]) for i, c in enumerate(CHART_ORDER))
    script = "\n".join([
        "set terminal pngcairo size 900,640 font 'Sans,12'",
        "set output '%s'" % os.path.join(out, "chart.png"),
        "set title 'Files per second against tree size (%s cores; higher is better)'" % nproc,
        "set xlabel 'files in the tree'",
        "set ylabel 'files per second (log scale)'",
        "set logscale xy",
        "set xrange [%d:%d]" % (sizes[0] * 0.7, sizes[-1] * 1.4),
        "set xtics (%s)" % ", ".join("'%s' %d" % (fmt_int(s), s) for s in sizes),
        "set format y '%.0s%c'",
        "set grid",
        "set key top left maxrows 3 width 1 box opaque",
        "set yrange [500:3000000]",
        "plot " + plots,
    ])
    subprocess.run(["gnuplot"], input=script.encode(), check=True)
    os.remove(data)
    sys.exit(0 if agree_all else 1)


if __name__ == "__main__":
    main()
