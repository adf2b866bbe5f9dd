#!/usr/bin/env python3
"""Times a native contender over a benchmark tree, run after run, and prints
the same "run contender=... key=value" lines as the Windows bench program.

usage: native_time.py find|clamscan|quellix RUNS TREE [DATABASE TEMPDIR | PROGRAM]
       native_time.py scanexe RUNS TREE WINE_RUN PREFIX
The last: quellix-scan.exe under Wine (installed in the prefix as
C:\qx-bench\quellix-scan.exe, TREE mapped as D:) over every fixed drive as
the file pass walks them, detection only and without the memory pass, timed by the program itself (its JSON summary, Wine's
start-up excluded, as for bench.exe) and around the command (wall_seconds).
The wall time of the whole command is taken (for clamscan that includes
loading its one-file database, a few milliseconds). quellix-scan runs in its
default mode (detection only) and also reports its peak resident size."""
import os
import subprocess
import sys
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


def main():
    contender, runs, tree = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if contender == "scanexe":
        scan_exe(runs, sys.argv[4], sys.argv[5])
        return
    if contender == "find":
        command = ["find", tree, "-type", "f", "-printf", "%s\n"]
    elif contender == "quellix":
        command = [sys.argv[4], "--quiet", tree]
    else:
        database, tempdir = sys.argv[4], sys.argv[5]
        command = ["clamscan", "-r", "-i", "--no-summary", "--database=" + database, tree]
        if tempdir:
            command.insert(1, "--tempdir=" + tempdir)
    for run in range(1, runs + 1):
        start = time.perf_counter()
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
        lines = done.stdout.decode("utf-8", "replace").splitlines()
        if contender == "quellix":
            # 0: nothing found, 1: all found listed; anything else is a fault here.
            if done.returncode not in (0, 1):
                sys.exit("quellix-scan failed (%d): %s" % (done.returncode, done.stderr.decode()))
            found = [l[: l.rindex(": ", 0, l.rindex(" ("))] for l in lines if l.endswith(" (left in place)")]
            files = int(next(l for l in lines if l.startswith("Files examined: ")).split(": ")[1])
            # Peak resident size, from GNU time in a run of its own (a child's
            # own rusage would count the interpreter it was forked from).
            if run == 1:
                measured = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, stdout=subprocess.DEVNULL,
                                          stderr=subprocess.PIPE)
                peak = int(measured.stderr.decode().strip().splitlines()[-1])
            print("run contender=quellix run=%d seconds=%.6f files=%d detections=%d peak_rss_kib=%d" % (
                run, seconds, files, len(found), peak))
            if run == 1:
                for path in found:
                    print("row contender=quellix\t%s" % os.path.relpath(path, tree))
        elif contender == "find":
            if done.returncode != 0:
                sys.exit("find failed: " + done.stderr.decode())
            print("run contender=find run=%d seconds=%.6f files=%d detections=0" % (run, seconds, len(lines)))
        else:
            # 0: nothing found, 1: something found, anything else: an error.
            if done.returncode not in (0, 1):
                sys.exit("clamscan failed (%d): %s" % (done.returncode, done.stderr.decode()))
            found = [l[: l.rindex(":")] for l in lines if l.endswith(" FOUND")]
            files = sum(len(names) for _, _, names in os.walk(tree)) if run == 1 else files
            print("run contender=clamscan run=%d seconds=%.6f files=%d detections=%d" % (run, seconds, files, len(found)))
            if run == 1:
                for path in found:
                    print("row contender=clamscan\t%s" % os.path.relpath(path, tree))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
