#!/usr/bin/env bash
# What signature lists cost quellix-scan (release build, build/linux):
#   - loading lists of 10 000 and 1 000 000 rows (this family's rows, and
#     SHA-256 rows at 1 000 000): `quellix-scan -V --signatures LIST`, which
#     reads, checks and indexes the list and scans nothing; wall time and peak
#     memory (GNU time), against -V without a list;
#   - the 100 000-file tree of make_tree.py scanned warm with the built-in
#     rows alone and with a 10 000-row list, runs alternating.
# Rows are random (seeded), sizes uniform over 1 000 to 7 340 032 bytes.
# Writes bench/results/signature_lists.md and raw/signature_lists.txt.
# Environment: BENCH_RUNS (5), BENCH_WORK (build/bench-signatures).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${BENCH_RUNS:-5}
work=${BENCH_WORK:-build/bench-signatures}
results=bench/results
[ -f build/linux/build.ninja ] || cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=Release -DQX_SANITIZE=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build/linux --target quellix-scan forge-specimen >/dev/null
scan=build/linux/bin/quellix-scan
forge=build/linux/bin/forge-specimen
mkdir -p "$work" "$results/raw"

python3 - "$work" <<'PY'
import random, sys, hashlib
work = sys.argv[1]
rng = random.Random(20261209)
names = ["Test.List.%s" % chr(97 + i) for i in range(26)]
def family(path, count):
    seen = set()
    with open(path, "w") as f:
        f.write("# benchmark list: random rows, not measured from any file\n")
        while len(seen) < count:
            row = (rng.randint(1000, 7340032), rng.getrandbits(32), rng.getrandbits(32))
            if row in seen: continue
            seen.add(row)
            f.write("%s\t%d\t0x%08X\t0x%08X\n" % (rng.choice(names), row[0], row[1], row[2]))
def hashes(path, count):
    with open(path, "w") as f:
        for i in range(count):
            f.write("%s:%d:%s\n" % (hashlib.sha256(b"row %d" % i).hexdigest(), rng.randint(1000, 7340032),
                                    rng.choice(names)))
family(work + "/rows-10000.list", 10000)
family(work + "/rows-1000000.list", 1000000)
hashes(work + "/sha256-1000000.list", 1000000)
PY
chmod 0644 "$work"/*.list

raw=$results/raw/signature_lists.txt
: >"$raw"
median() { sort -n | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
load() {  # label, then the list (or nothing)
  local label=$1; shift
  local args=()
  [ $# -gt 0 ] && args=(--signatures "$1")
  for i in $(seq "$runs"); do
    /usr/bin/time -f "%e %M" -o "$work/time" "$scan" -V "${args[@]}" >/dev/null
    echo "load $label $(tail -1 "$work/time")" >>"$raw"
  done
}
load none
load rows-10000 "$work/rows-10000.list"
load rows-1000000 "$work/rows-1000000.list"
load sha256-1000000 "$work/sha256-1000000.list"

[ -d "$work/tree" ] || python3 bench/make_tree.py "$work/tree" 100000 "$forge" >/dev/null
"$scan" --quiet "$work/tree" >/dev/null || true  # warm the cache
for i in $(seq "$runs"); do
  for variant in builtin list; do
    args=()
    [ $variant = list ] && args=(--signatures "$work/rows-10000.list")
    /usr/bin/time -f "%e %M" -o "$work/time" "$scan" --quiet "${args[@]}" "$work/tree" >/dev/null || true
    echo "tree $variant $(tail -1 "$work/time")" >>"$raw"
  done
done

{
  echo "# Signature lists: loading and scanning"
  echo
  echo "quellix-scan release build (build/linux), $(nproc) cores, load average at the start"
  echo "$(cut -d' ' -f1-3 /proc/loadavg); medians of $runs runs ($(date -u +%Y-%m-%d))."
  echo "Loading is \`quellix-scan -V --signatures LIST\`: read, checked, indexed, nothing scanned."
  echo
  echo "| what | seconds | peak memory (MiB) |"
  echo "|---|---:|---:|"
  for label in none rows-10000 rows-1000000 sha256-1000000; do
    s=$(awk -v l="$label" '$1=="load" && $2==l {print $3}' "$raw" | median)
    m=$(awk -v l="$label" '$1=="load" && $2==l {print $4}' "$raw" | median)
    echo "| -V, list: $label | $s | $(awk -v k="$m" 'BEGIN {printf "%.1f", k/1024}') |"
  done
  for variant in builtin list; do
    s=$(awk -v l="$variant" '$1=="tree" && $2==l {print $3}' "$raw" | median)
    m=$(awk -v l="$variant" '$1=="tree" && $2==l {print $4}' "$raw" | median)
    echo "| 100 000-file tree, $([ $variant = list ] && echo 'built-in rows and the 10 000-row list' || echo 'built-in rows alone') | $s | $(awk -v k="$m" 'BEGIN {printf "%.1f", k/1024}') |"
  done
  b=$(awk '$1=="tree" && $2=="builtin" {print $3}' "$raw" | median)
  l=$(awk '$1=="tree" && $2=="list" {print $3}' "$raw" | median)
  echo
  echo "Tree with the list / built-in alone: $(awk -v b="$b" -v l="$l" 'BEGIN {printf "%.2f", l/b}') (target at most 1.1)."
} >"$results/signature_lists.md"
cat "$results/signature_lists.md"
