#!/usr/bin/env python3
"""Times the native contenders over a benchmark tree and prints the same
"run contender=... key=value" lines as the Windows bench program.

usage: native_time.py suite warm|cold RUNS TREE QUELLIX [--clamscan DATABASE TEMPDIR CLAM_RUNS]
       native_time.py scanexe RUNS TREE WINE_RUN PREFIX
suite: quellix-scan (detection only, its default), find -printf '%s\n', bfs
-printf '%s\n', and fd -j 8 and fd -j 32 with a size filter (-S, so that
every file is stat'ed as the scanners do; -u so that no ignore file is
looked for), and clamscan with a hash database of the specimens in its first
CLAM_RUNS rounds. Each round runs every contender once, in a fresh random
order, so that the load of a shared machine falls on all alike. Cold rounds
drop the page cache before each run (root only: the caller checks); warm
rounds follow one untimed round. Every run is wrapped in GNU time for its
peak resident size; the wall time of the whole command is taken (for
clamscan that includes loading its one-file database, a few milliseconds).

scanexe: quellix-scan.exe under Wine (installed in the prefix as
C:\qx-bench\quellix-scan.exe, TREE mapped as D:) over every fixed drive as
the file pass walks them, detection only and without the memory pass, timed
by the program itself (its JSON summary, Wine's start-up excluded, as for
bench.exe) and around the command (wall_seconds)."""
import os
import random
import subprocess
import sys
import tempfile
import time


def scan_exe(runs, wine_run, prefix):
    import json
    env = dict(os.environ, QX_WINEPREFIX=prefix)
    command = [wine_run, "C:\\qx-bench\\quellix-scan.exe", "--no-memory", "--quiet", "--json",
               "C:\\qx-bench\\scan.jsonl"]
    for run in range(1, runs + 1):
        start = time.perf_counter()
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        wall = time.perf_counter() - start
        if done.returncode not in (0, 1):
            sys.exit("quellix-scan.exe failed (%d): %s" % (done.returncode, done.stderr.decode("utf-8", "replace")))
        with open(os.path.join(prefix, "drive_c", "qx-bench", "scan.jsonl"), encoding="utf-8") as f:
            lines = [json.loads(l) for l in f if l.strip()]
        summary = lines[-1]
        found = [l["path"] for l in lines if l.get("type") == "detection" and l.get("pass") == "file"]
        print("run contender=scanexe run=%d seconds=%.6f files=%d detections=%d wall_seconds=%.6f" % (
            run, summary["seconds"], summary["files"], len(found), wall))
        if run == 1:
            for path in found:
                print("row contender=scanexe\t%s" % path)


def suite_commands(tree, quellix):
    return [
        ("quellix", [quellix, "--quiet", tree]),
        ("find", ["find", tree, "-type", "f", "-printf", "%s\n"]),
        ("bfs", ["bfs", tree, "-type", "f", "-printf", "%s\n"]),
        ("fd8", ["fdfind", "-u", "-j", "8", "-t", "f", "-S", "+0b", ".", tree]),
        ("fd32", ["fdfind", "-u", "-j", "32", "-t", "f", "-S", "+0b", ".", tree]),
    ]


def drop_caches():
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def timed(command, peak_file):
    """Runs command under GNU time: (seconds, completed process, peak KiB)."""
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak_file] + command, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE)
    seconds = time.perf_counter() - start
    with open(peak_file) as f:
        peak = int(f.read().strip().splitlines()[-1])
    return seconds, done, peak


def suite(cache, runs, tree, quellix, clam):
    commands = suite_commands(tree, quellix)
    if clam:
        database, tempdir, clam_runs = clam
        command = ["clamscan", "-r", "-i", "--no-summary", "--database=" + database, tree]
        if tempdir:
            command.insert(1, "--tempdir=" + tempdir)
        commands.append(("clamscan", command))
    peak_file = tempfile.NamedTemporaryFile(prefix="qx-bench-peak-", delete=False).name
    rng = random.Random(20061 + runs)
    if cache == "warm":
        for name, command in commands:
            if name != "clamscan":
                subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    clam_files = None
    for run in range(1, runs + 1):
        order = [c for c in commands if c[0] != "clamscan" or run <= clam[2]]
        rng.shuffle(order)
        for contender, command in order:
            if cache == "cold":
                drop_caches()
            seconds, done, peak = timed(command, peak_file)
            lines = done.stdout.decode("utf-8", "replace").splitlines()
            found = []
            if contender == "quellix":
                # 0: nothing found, 1: all found listed; anything else is a fault here.
                if done.returncode not in (0, 1):
                    sys.exit("quellix-scan failed (%d): %s" % (done.returncode, done.stderr.decode()))
                found = [l[: l.rindex(": ", 0, l.rindex(" ("))] for l in lines if l.endswith(" (left in place)")]
                files = int(next(l for l in lines if l.startswith("Files examined: ")).split(": ")[1])
            elif contender == "clamscan":
                # 0: nothing found, 1: something found, anything else: an error.
                if done.returncode not in (0, 1):
                    sys.exit("clamscan failed (%d): %s" % (done.returncode, done.stderr.decode()))
                found = [l[: l.rindex(":")] for l in lines if l.endswith(" FOUND")]
                if clam_files is None:
                    clam_files = sum(len(names) for _, _, names in os.walk(tree))
                files = clam_files
            else:
                if done.returncode != 0:
                    sys.exit("%s failed: %s" % (contender, done.stderr.decode()))
                files = len(lines)
            print("run contender=%s cache=%s run=%d seconds=%.6f files=%d detections=%d peak_rss_kib=%d" % (
                contender, cache, run, seconds, files, len(found), peak))
            if run == 1 and cache == "warm":
                for path in found:
                    print("row contender=%s\t%s" % (contender, os.path.relpath(path, tree)))
            sys.stdout.flush()
    os.remove(peak_file)


def main():
    mode = sys.argv[1]
    if mode == "scanexe":
        scan_exe(int(sys.argv[2]), sys.argv[4], sys.argv[5])
        return
    if mode != "suite":
        sys.exit(__doc__)
    cache, runs, tree, quellix = sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
    clam = None
    if len(sys.argv) > 6 and sys.argv[6] == "--clamscan":
        clam = (sys.argv[7], sys.argv[8], int(sys.argv[9]))
    suite(cache, runs, tree, quellix, clam)


if __name__ == "__main__":
    main()
