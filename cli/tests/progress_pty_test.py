#!/usr/bin/env python3
"""quellix-scan's progress line on a real pseudo-terminal of 40, 80 and 200
columns: the program scans a tree of many files with standard error (and
output) on the terminal; a small terminal model replays what it wrote and
checks that no write reached the last column (the terminal would wrap), that
a progress line was drawn at all, and that none is left on the screen once
the summary is out. Where a tmpfs can be mounted, a scan of its mount root
also shows the share done and the time left.
usage: progress_pty_test.py QUELLIX_SCAN WORK_DIR
"""
import fcntl
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import threading
import time


def plant(root, count):
    # Deep, long names so the path's end has to be cut to fit.
    for i in range(count):
        folder = os.path.join(root, "Documents and Settings", "user%d" % (i % 7), "Application Data",
                              "a rather long folder name %d" % (i % 13))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "file number %05d with a long name.dat" % i), "wb") as f:
            f.write(b"x" * (i % 50))


def run_on_pty(program, args, columns):
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, columns, 0, 0))
    process = subprocess.Popen([program] + args, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave,
                               close_fds=True)
    os.close(slave)

    # The scan is faster than the line's 0.2 s pace: pausing the program now
    # and then makes it draw many lines, with paths, whatever the machine.
    def stretch():
        while process.poll() is None:
            time.sleep(0.002)
            try:
                process.send_signal(signal.SIGSTOP)
                time.sleep(0.21)
                process.send_signal(signal.SIGCONT)
            except ProcessLookupError:
                break
    stretcher = threading.Thread(target=stretch)
    stretcher.start()
    out = bytearray()
    while True:
        ready, _, _ = select.select([master], [], [], 60)
        if not ready:
            process.kill()
            raise SystemExit("no output for 60 s")
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: the other side is closed
            break
        if not chunk:
            break
        out += chunk
    os.close(master)
    status = process.wait()
    stretcher.join()
    return status, bytes(out)


def replay(data, columns):
    """The screen's lines as a terminal without auto-margin tricks would show
    them, and the widest column written (1-based)."""
    lines, line, column, widest = [], [], 0, 0
    for byte in data:
        c = chr(byte)
        if c == "\r":
            column = 0
        elif c == "\n":
            lines.append("".join(line).rstrip())
            line, column = [], 0
        elif c == "\x1b":
            raise SystemExit("an escape sequence was written")
        else:
            while len(line) <= column:
                line.append(" ")
            line[column] = c
            column += 1
            widest = max(widest, column)
    lines.append("".join(line).rstrip())
    return lines, widest


def main():
    program, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    root = os.path.join(work, "volume")
    plant(root, 6000)
    failures = []
    for columns in (40, 80, 200):
        status, data = run_on_pty(program, [root], columns)
        lines, widest = replay(data, columns)
        drawn = data.count(b" files, ")
        with_path = data.count(b" with a long name.dat")
        cut = data.count(b"  ...")
        if status != 0:
            failures.append("%d columns: exit %d" % (columns, status))
        # 40 columns leave no room for the path; 80 show its end; 200 all of it.
        if drawn < 2 or (columns >= 80 and with_path == 0) or (columns == 80 and cut == 0):
            failures.append("%d columns: %d progress lines, %d with a path, %d cut" % (columns, drawn, with_path, cut))
        if widest > columns - 1:
            failures.append("%d columns: a write reached column %d" % (columns, widest))
        stale = [l for l in lines if " files, " in l]
        if stale:
            failures.append("%d columns: left on the screen: %r" % (columns, stale[0]))
        if not any(l.startswith("Files examined: 6000") for l in lines):
            failures.append("%d columns: no summary in %r" % (columns, lines[-12:]))
        print("%d columns: %d progress lines drawn (%d with a path, %d cut), widest write %d, exit %d"
              % (columns, drawn, with_path, cut, widest, status))
    # A mount root: the share comes from the file system's used inodes.
    mount_point = os.path.join(work, "mnt")
    os.makedirs(mount_point)
    if subprocess.call(["mount", "-t", "tmpfs", "-o", "size=512m", "tmpfs", mount_point],
                       stderr=subprocess.DEVNULL) == 0:
        try:
            plant(mount_point, 6000)
            status, data = run_on_pty(program, [mount_point], 120)
            shares = [line for line in replay(data, 120)[0] if "% " in line]
            drawn = [piece for piece in data.split(b"\r") if b" files, " in piece]
            with_share = [piece for piece in drawn if b"%, " in piece and b" left" in piece]
            print("mount root: %d of %d progress lines with a share, exit %d" % (len(with_share), len(drawn), status))
            if not with_share:
                failures.append("mount root: no share or time left in %r" % drawn[:2])
            if shares:
                failures.append("mount root: left on the screen: %r" % shares[0])
        finally:
            subprocess.call(["umount", mount_point])
    else:
        print("mount root: skipped (no mounting here)")
    shutil.rmtree(work, ignore_errors=True)
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
