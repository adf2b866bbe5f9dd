#!/usr/bin/env python3
"""Paired, interleaved timing of a few commands on a shared machine: every
round runs each command once, in a fresh random order, so that the load of
the moment falls on all of them alike; the per-round ratios to the first
command are what to compare. Cold rounds drop the page cache before each
run (root only).

usage: paired.py cold|warm ROUNDS LABEL=COMMAND...
prints one line per label: median, min, max and the median per-round ratio
to the first label; then the median per-round ratio of the first label to
the fastest of the others in the same round, every round's times, and the
load average before and after."""
import random
import shlex
import statistics
import subprocess
import sys
import time


def drop_caches():
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def main():
    mode, rounds = sys.argv[1], int(sys.argv[2])
    commands = []
    for arg in sys.argv[3:]:
        label, _, command = arg.partition("=")
        commands.append((label, shlex.split(command)))
    load_before = open("/proc/loadavg").read().split()[:3]
    times = {label: [] for label, _ in commands}
    rng = random.Random(20061)
    for _ in range(rounds):
        order = list(commands)
        rng.shuffle(order)
        for label, command in order:
            if mode == "cold":
                drop_caches()
            start = time.perf_counter()
            done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            seconds = time.perf_counter() - start
            if done.returncode not in (0, 1):
                sys.exit("%s failed (%d)" % (label, done.returncode))
            times[label].append(seconds)
    reference = commands[0][0]
    for label, _ in commands:
        t = times[label]
        ratio = statistics.median(a / b for a, b in zip(t, times[reference]))
        print("%-14s median %.3f s  min %.3f  max %.3f  ratio to %s %.2f" % (
            label, statistics.median(t), min(t), max(t), reference, ratio))
    if len(commands) > 2:
        others = [label for label, _ in commands[1:]]
        best = [min(times[label][i] for label in others) for i in range(rounds)]
        print("%s / the fastest of %s in its round: median %.2f" % (
            reference, ", ".join(others), statistics.median(a / b for a, b in zip(times[reference], best))))
    for i in range(rounds):
        print("round %d: %s" % (i + 1, "  ".join("%s %.3f" % (label, times[label][i]) for label, _ in commands)))
    print("load before %s after %s" % (" ".join(load_before), " ".join(open("/proc/loadavg").read().split()[:3])))


if __name__ == "__main__":
    main()
