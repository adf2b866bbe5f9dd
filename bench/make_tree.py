#!/usr/bin/env python3
"""Generates a benchmark tree with a fixed seed: a realistic directory shape
(depth and fan-out), mostly small files, a few large sparse ones, 1% of the
files at signature sizes (random content, so they are read but do not match)
and a handful of forged specimens written by forge-specimen.

usage: make_tree.py DEST FILES FORGE_TOOL [SEED [sparse]]
FORGE_TOOL "-" plants no specimens (the caller forges its own). "sparse"
writes the content of candidates and specimens only and leaves every other
file a hole of its size: the same shape and sizes for the walkers, without
writing gigabytes no contender reads (the largest tree, native walkers only).
Writes DEST.specimens (one path relative to DEST per specimen) and prints one
line: files directories specimens candidates bytes
"""
import os
import random
import subprocess
import sys

SIGNATURE_SIZES = [15872, 1536, 17408, 20480, 1086, 38004, 141030, 94126, 28288]
SPECIMEN_ROWS = [0, 1, 2, 4, 5]


def file_size(rng):
    # Medians in the comments. The content volume is kept moderate so that a
    # reader of every byte (the general-purpose scanner) finishes the 300 000
    # file tree in minutes; the walk and the size filter never see content.
    pick = rng.random()
    if pick < 0.60:
        return int(rng.lognormvariate(6.5, 1.3))        # ~660 bytes, the bulk
    if pick < 0.96:
        return int(rng.lognormvariate(9.0, 1.0))        # ~8 KiB
    if pick < 0.9998:
        return int(rng.lognormvariate(10.8, 0.9))       # ~50 KiB
    return rng.randint(8 << 20, 12 << 20)               # a few large ones (sparse)


def main():
    dest, total, forge = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    seed = int(sys.argv[4]) if len(sys.argv) > 4 else 20061
    sparse = len(sys.argv) > 5 and sys.argv[5] == "sparse"
    rng = random.Random(seed)
    os.makedirs(dest, exist_ok=True)

    # Directory shape: breadth-first growth with fan-out 2..9, depth up to 8,
    # 5..60 files per directory.
    directories = [dest]
    frontier = [(dest, 0)]
    planned = 0
    while planned < total and frontier:
        parent, depth = frontier.pop(0)
        fanout = rng.randint(2, 9) if depth < 8 else 0
        for i in range(fanout):
            path = os.path.join(parent, "dir%03d_%d" % (i, depth))
            os.makedirs(path, exist_ok=True)
            directories.append(path)
            frontier.append((path, depth + 1))
            planned += 30
    filler = bytes(rng.getrandbits(8) for _ in range(1 << 16))
    doubled = memoryview(filler + filler)

    candidates = 0
    content = 0
    for n in range(total):
        folder = directories[rng.randrange(len(directories))]
        name = os.path.join(folder, "file%06d.%s" % (n, rng.choice(["txt", "dll", "exe", "dat", "htm", "jpg"])))
        candidate = rng.random() < 0.01
        if candidate:
            size = rng.choice(SIGNATURE_SIZES)
            candidates += 1
        else:
            size = file_size(rng)
        content += size
        out = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        if size > (4 << 20):
            os.ftruncate(out, size)
        else:
            # A window of the doubled filler at a random offset; larger
            # files repeat it. Drawn in a sparse tree too, so that its names
            # and sizes are those of the written tree of the same seed.
            start = rng.randrange(len(filler))
            if sparse and not candidate:
                os.ftruncate(out, size)
                size = 0
            while size > 0:
                piece = min(size, len(filler))
                os.write(out, doubled[start:start + piece])
                size -= piece
        os.close(out)

    planted = []
    if forge != "-":
        for i, row in enumerate(SPECIMEN_ROWS):
            folder = directories[rng.randrange(len(directories))]
            path = os.path.join(folder, "specimen%d.bin" % i)
            subprocess.run([forge, str(row), path, str(seed + i)], check=True)
            planted.append(os.path.relpath(path, dest))
            content += os.path.getsize(path)
    with open(dest.rstrip("/") + ".specimens", "w") as manifest:
        manifest.writelines(p + "\n" for p in planted)
    print(total + len(planted), len(directories), len(planted), candidates, content)


if __name__ == "__main__":
    main()
