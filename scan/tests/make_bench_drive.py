#!/usr/bin/env python3
"""Generates the measurement drive: COUNT files in nested folders with a
realistic size mix (mostly small, a tail up to a few megabytes), one in a
hundred at a signature size with content that matches nothing. Sizes over
64 KiB are sparse, so the drive costs little real disk."""
import os
import random
import sys

SIGNATURE_SIZES = [15872, 1536, 17408, 20480, 1086, 38004, 141030, 94126, 28288]


def main(root, count):
    rng = random.Random(20240607)
    made = 0
    folder_index = 0
    while made < count:
        depth = rng.choice([1, 2, 2, 3, 3, 4])
        parts = ["d%03d" % rng.randrange(40) for _ in range(depth - 1)] + ["f%05d" % folder_index]
        folder = os.path.join(root, *parts)
        os.makedirs(folder, exist_ok=True)
        folder_index += 1
        for _ in range(rng.randrange(20, 180)):
            if made >= count:
                break
            if rng.random() < 0.01:
                size = rng.choice(SIGNATURE_SIZES)
            else:
                size = int(min(rng.lognormvariate(8.0, 2.0), 8 << 20))
            path = os.path.join(folder, "file%06d.%s" % (made, rng.choice(["dll", "exe", "txt", "dat", "htm", "jpg"])))
            with open(path, "wb") as stream:
                if size <= 65536:
                    stream.write(rng.randbytes(size))
                else:
                    stream.truncate(size)
            made += 1


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
