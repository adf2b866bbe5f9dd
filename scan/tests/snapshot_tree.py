#!/usr/bin/env python3
"""Prints one line per file under a folder: path, size, last-write time,
mode, DOS attributes (Wine's extended attribute) and a SHA-256 of the content,
so that two listings taken around a scan show any change."""
import hashlib
import os
import sys


def main(root):
    for folder, dirs, files in os.walk(root):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            if os.path.islink(path):
                continue
            info = os.stat(path)
            try:
                dos = os.getxattr(path, "user.DOSATTRIB").hex()
            except OSError:
                dos = "-"
            digest = hashlib.sha256()
            with open(path, "rb") as stream:
                for chunk in iter(lambda: stream.read(1 << 20), b""):
                    digest.update(chunk)
            print(os.path.relpath(path, root), info.st_size, info.st_mtime_ns, oct(info.st_mode), dos,
                  digest.hexdigest())


if __name__ == "__main__":
    main(sys.argv[1])
