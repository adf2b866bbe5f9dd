#!/usr/bin/env python3
"""Both console scanners on one planted tree must agree.

    same_run_test.py WINDOWS_BIN WORKDIR

quellix-scan (native, from build/host or QX_NATIVE_BIN) scans the tree as a
folder; quellix-scan.exe (from WINDOWS_BIN, under Wine) scans the same tree
as drive D: of a prefix of its own. For each action (detection only,
--remove, --quarantine into a folder outside the tree) both start from the
same pristine tree and must report the same rows (path below the root,
detection name, action), the same totals and the same exit status, and
leave the same files behind.
"""
import json
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.abspath(os.path.join(HERE, "..", ".."))

# (path below the root, row or None for a clean file, decoy)
PLANT = [
    ("top.exe", 0, False),
    ("a/b/deep.dll", 1, False),
    ("a/b/c/d/deeper.bin", 5, False),
    ("with space/worm copy.exe", 0, False),
    ("a/decoy.exe", 0, True),
    ("a/b/decoy.dll", 1, True),
    ("readme.txt", None, False),
    ("a/b/c/notes.txt", None, False),
]
TOTALS = ("files", "bytes", "detections", "removed", "quarantined", "left_in_place", "failed", "not_examined",
          "restart_needed", "stopped")


def plant(native_bin, root):
    os.makedirs(root)
    for relative, row, decoy in PLANT:
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if row is None:
            with open(path, "w") as f:
                f.write("plain text of " + relative + "\n")
            continue
        args = [os.path.join(native_bin, "forge-specimen")] + (["--decoy"] if decoy else []) + [str(row), path, "7"]
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


def files_below(root):
    found = []
    for folder, _, names in os.walk(root):
        for name in names:
            found.append(os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/"))
    return sorted(found)


def outcome(records, root_prefix, separator):
    """Rows as (path below the root, detection, action) and the totals."""
    rows, summary = [], None
    for record in records:
        if record["type"] in ("detection", "not_examined"):
            path = record["path"]
            assert path.startswith(root_prefix), (path, root_prefix)
            relative = path[len(root_prefix):].lstrip(separator).replace(separator, "/")
            rows.append((relative, record.get("detection", ""), record.get("action", "not_examined")))
        if record["type"] == "summary":
            summary = {key: record[key] for key in TOTALS}
            summary["exit_status"] = record["exit_status"]
    return rows, summary


def read_json(path, encoding="utf-8"):
    with open(path, encoding=encoding, errors="surrogateescape") as f:
        return [json.loads(line) for line in f if line.strip()]


def main():
    windows_bin, work = sys.argv[1], sys.argv[2]
    native_bin = os.environ.get("QX_NATIVE_BIN", os.path.join(REPO, "build", "host", "bin"))
    native = os.path.join(native_bin, "quellix-scan")
    if not os.access(native, os.X_OK):
        print(f"FAIL: no native scanner at {native} (build build/host first, or set QX_NATIVE_BIN)")
        return 1
    shutil.rmtree(work, ignore_errors=True)
    pristine = os.path.join(work, "pristine")
    plant(native_bin, pristine)
    drive_d, drive_e = os.path.join(work, "d"), os.path.join(work, "e")
    os.makedirs(drive_e)
    system_c = os.path.join(work, "c")
    os.makedirs(os.path.join(system_c, "WINDOWS"))
    shutil.copytree(pristine, drive_d)
    prefix = subprocess.run([os.path.join(REPO, "cmake", "wine-prefix"), "isolated", "same-run", "D:=" + drive_d,
                             "E:=" + drive_e], check=True, capture_output=True, text=True).stdout.strip()
    os.makedirs(os.path.join(prefix, "drive_c", "qxtest"), exist_ok=True)
    shutil.copy(os.path.join(windows_bin, "quellix-scan.exe"), os.path.join(prefix, "drive_c", "qxtest"))
    env = dict(os.environ, QX_WINEPREFIX=prefix)
    failures = 0
    try:
        for name, args in (("detect", []), ("remove", ["--remove"]), ("quarantine", ["--quarantine", "Q"])):
            # The native run on the folder.
            shutil.rmtree(drive_d)
            shutil.copytree(pristine, drive_d)
            quarantine = os.path.join(work, "q-native-" + name)
            native_args = [a if a != "Q" else quarantine for a in args]
            # As on the live system, the tree is drive D: of a Windows whose
            # system volume (an empty one here) is elsewhere.
            if args:
                native_args += ["--windows-root", system_c, "--drive", "D=" + drive_d]
            json_native = os.path.join(work, name + "-native.jsonl")
            done = subprocess.run([native, "--quiet", "--json", json_native] + native_args + [drive_d],
                                  capture_output=True, text=True, errors="replace")
            rows_native, totals_native = outcome(read_json(json_native), drive_d, "/")
            left_native = files_below(drive_d)

            # The Windows run on the same tree as D:.
            shutil.rmtree(drive_d)
            shutil.copytree(pristine, drive_d)
            windows_args = [a if a != "Q" else "E:\\q-" + name for a in args]
            subprocess.run([os.path.join(REPO, "cmake", "wine-run"), "C:\\qxtest\\quellix-scan.exe", "--no-memory",
                            "--quiet", "--json", "E:\\" + name + ".jsonl"] + windows_args + ["D:\\"],
                           env=env, capture_output=True, stdin=subprocess.DEVNULL)
            subprocess.run([os.path.join(REPO, "cmake", "wine-prefix"), "kill", prefix], capture_output=True)
            rows_windows, totals_windows = outcome(read_json(os.path.join(drive_e, name + ".jsonl")), "D:", "\\")
            left_windows = files_below(drive_d)

            problems = []
            if done.returncode != totals_native["exit_status"]:
                problems.append(f"native exit {done.returncode}, its JSON says {totals_native['exit_status']}")
            # Rows come in walk order, which each file system API chooses.
            rows_native.sort()
            rows_windows.sort()
            if rows_native != rows_windows:
                problems.append(f"rows differ:\n  native  {rows_native}\n  windows {rows_windows}")
            if totals_native != totals_windows:
                problems.append(f"totals differ:\n  native  {totals_native}\n  windows {totals_windows}")
            if left_native != left_windows:
                problems.append(f"files left differ:\n  native  {left_native}\n  windows {left_windows}")
            expected_rows = 4
            if len(rows_native) != expected_rows:
                problems.append(f"{len(rows_native)} rows, expected {expected_rows}: {rows_native}")
            if problems:
                failures += 1
                print(f"FAIL {name}: " + "\n".join(problems))
            else:
                print(f"ok   {name}: {len(rows_native)} rows, exit {totals_native['exit_status']}, "
                      f"{len(left_native)} files left")
    finally:
        subprocess.run([os.path.join(REPO, "cmake", "wine-prefix"), "kill", prefix], capture_output=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
