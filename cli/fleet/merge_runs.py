#!/usr/bin/env python3
"""Merges quellix-scan runs (JSON Lines, one run a file named HOST.jsonl)
into one table: host, detections, removed, quarantined, failed, exit status.
A file that is missing or has no summary record (the run was cut short) is a
row of its own, never a clean one. Writes the table as tab-separated values
to OUT and prints it aligned.
usage: merge_runs.py OUT.tsv HOST.jsonl...
"""
import json
import os
import sys

COLUMNS = ("host", "detections", "removed", "quarantined", "failed", "exit_status")


def row_of(path):
    host = os.path.basename(path)
    if host.endswith(".jsonl"):
        host = host[: -len(".jsonl")]
    row = {"host": host}
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            records = [json.loads(line) for line in f if line.strip()]
    except OSError:
        row.update(dict.fromkeys(COLUMNS[1:], "-"), exit_status="no record")
        return row
    except ValueError:
        row.update(dict.fromkeys(COLUMNS[1:], "-"), exit_status="unreadable record")
        return row
    summary = [r for r in records if r.get("type") == "summary"]
    if not records or records[0].get("type") != "run" or not summary:
        row.update(dict.fromkeys(COLUMNS[1:], "-"), exit_status="incomplete")
        return row
    s = summary[-1]
    for key in COLUMNS[1:]:
        row[key] = s.get(key, "-") if key != "quarantined" else s.get("quarantined", 0)
    return row


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 64
    rows = [row_of(p) for p in argv[1:]]
    rows.sort(key=lambda r: r["host"])
    with open(argv[0], "w", encoding="utf-8") as out:
        out.write("\t".join(COLUMNS) + "\n")
        for r in rows:
            out.write("\t".join(str(r[c]) for c in COLUMNS) + "\n")
    widths = [max(len(c), *(len(str(r[c])) for r in rows)) for c in COLUMNS]
    print("  ".join(c.ljust(w) for c, w in zip(COLUMNS, widths)).rstrip())
    for r in rows:
        print("  ".join(str(r[c]).ljust(w) for c, w in zip(COLUMNS, widths)).rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
