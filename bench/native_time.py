#!/usr/bin/env python3
"""Times a native contender over a benchmark tree, run after run, and prints
the same "run contender=... key=value" lines as the Windows bench program.

usage: native_time.py find|clamscan RUNS TREE [DATABASE TEMPDIR]
The wall time of the whole command is taken (for clamscan that includes
loading its one-file database, a few milliseconds)."""
import os
import subprocess
import sys
import time


def main():
    contender, runs, tree = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if contender == "find":
        command = ["find", tree, "-type", "f", "-printf", "%s\n"]
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
        if contender == "find":
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
