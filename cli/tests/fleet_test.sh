#!/usr/bin/env bash
# The fleet playbook against three "hosts" that are local folders, through
# Ansible's local connection: a clean volume, one with two forged specimens
# removed, and an empty (unmounted) one; the merged table must say 0, 1 and 2
# with the right counts, and a fourth host whose run cannot start must show
# as having no record, not as clean. A signature list (one SHA-256 row of a
# harmless file) goes to every host and is used by each scan.
# The play then runs again over changed volumes, and the table must show the
# second runs only: the removed files gone, a newly planted one found, and a
# host whose program has gone as having no record, not its first run.
# usage: fleet_test.sh QUELLIX_SCAN FORGE_SPECIMEN WORK_DIR
set -euo pipefail
scan=$1 forge=$2 work=$3
source_dir=$(cd "$(dirname "$0")/.." && pwd)
command -v ansible-playbook >/dev/null || { echo "ansible-playbook is missing (bash scripts/setup installs it)"; exit 1; }
rm -rf "$work"
mkdir -p "$work/clean/WINDOWS" "$work/infected/WINDOWS/system32" "$work/infected/Temp" "$work/unmounted" "$work/runs"
mkdir -p "$work/bin" && ln -s "$scan" "$work/bin/quellix-scan"
head -c 5000 /dev/zero >"$work/clean/WINDOWS/notepad.exe"
echo clean >"$work/clean/boot.ini"
"$forge" 0 "$work/infected/WINDOWS/system32/a.exe" 11 >/dev/null
"$forge" 1 "$work/infected/Temp/b.dll" 12 >/dev/null
"$forge" --decoy 0 "$work/infected/Temp/decoy.exe" 13 >/dev/null
# A harmless file that only the distributed list names.
head -c 3001 /dev/urandom >"$work/infected/Temp/site-tool.bin"
echo "$(sha256sum "$work/infected/Temp/site-tool.bin" | cut -c1-64):3001:Test.Site.tool" >"$work/site.list"
cat >"$work/hosts.ini" <<HOSTS
[scanners]
pc-clean     scan_paths='["$work/clean"]' quellix_scan=$work/bin/quellix-scan
pc-infected  scan_paths='["$work/infected"]' scan_options='["--remove", "--backup", "$work/backup"]'
pc-unmounted scan_paths='["$work/unmounted"]'
pc-broken    scan_paths='["$work/clean"]' quellix_scan=$work/no-such-program

[scanners:vars]
ansible_connection=local
ansible_python_interpreter=/usr/bin/python3
# The test runs as the user who owns the folders (no sudo here).
scan_become=false
quellix_scan=$scan
signature_list=$work/site.list
remote_list=$work/remote-{{ inventory_hostname }}/site.list
remote_json=$work/remote-{{ inventory_hostname }}.jsonl
collect_dir=$work/runs
HOSTS
export ANSIBLE_LOCAL_TEMP="$work/ansible-tmp" ANSIBLE_REMOTE_TEMP="$work/ansible-tmp" ANSIBLE_NOCOLOR=1
export ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_HOST_KEY_CHECKING=0
status=0
ansible-playbook -i "$work/hosts.ini" "$source_dir/fleet/quellix-scan.yml" >"$work/playbook.log" 2>&1 || status=$?
# pc-broken fails its scan task; the others go on and the table is made.
[ "$status" -eq 2 ] || { cat "$work/playbook.log"; echo "playbook exit $status, expected 2 (one host failed)"; exit 1; }
expected=$(printf '%s\n' \
  $'host\tdetections\tremoved\tquarantined\tfailed\texit_status' \
  $'pc-broken\t-\t-\t-\t-\tno record' \
  $'pc-clean\t0\t0\t0\t0\t0' \
  $'pc-infected\t3\t3\t0\t0\t1' \
  $'pc-unmounted\t0\t0\t0\t0\t2')
actual=$(cat "$work/runs/fleet.tsv")
if [ "$actual" != "$expected" ]; then
  cat "$work/playbook.log"
  echo "merged table:"; echo "$actual"; echo "expected:"; echo "$expected"; exit 1
fi
# The removal really happened, and the decoy stayed.
[ ! -e "$work/infected/WINDOWS/system32/a.exe" ] && [ ! -e "$work/infected/Temp/b.dll" ] &&
  [ ! -e "$work/infected/Temp/site-tool.bin" ] &&
  [ -e "$work/infected/Temp/decoy.exe" ] || { echo "files not as the table says"; exit 1; }
grep -qE 'pc-infected +3 +3 +0 +0 +1"' "$work/playbook.log" || { cat "$work/playbook.log"; echo "table not shown"; exit 1; }
# Every host's run names the list it was given.
list_sum=$(sha256sum "$work/site.list" | cut -c1-64)
for host in pc-clean pc-infected pc-unmounted; do
  grep -q "\"type\":\"signature_list\",.*\"sha256\":\"$list_sum\",\"rows\":1" "$work/runs/$host.jsonl" ||
    { cat "$work/runs/$host.jsonl"; echo "$host: the list is not in its run"; exit 1; }
done
# The second play: pc-clean's program is gone, pc-unmounted has a worm
# now (detection only), pc-infected was cleaned by the first.
rm "$work/bin/quellix-scan"
"$forge" 2 "$work/unmounted/new.exe" 14 >/dev/null
status=0
ansible-playbook -i "$work/hosts.ini" "$source_dir/fleet/quellix-scan.yml" >"$work/playbook2.log" 2>&1 || status=$?
[ "$status" -eq 2 ] || { cat "$work/playbook2.log"; echo "second playbook exit $status, expected 2"; exit 1; }
expected=$(printf '%s\n' \
  $'host\tdetections\tremoved\tquarantined\tfailed\texit_status' \
  $'pc-broken\t-\t-\t-\t-\tno record' \
  $'pc-clean\t-\t-\t-\t-\tno record' \
  $'pc-infected\t0\t0\t0\t0\t0' \
  $'pc-unmounted\t1\t0\t0\t0\t1')
actual=$(cat "$work/runs/fleet.tsv")
if [ "$actual" != "$expected" ]; then
  cat "$work/playbook2.log"
  echo "second merged table:"; echo "$actual"; echo "expected:"; echo "$expected"; exit 1
fi
# A run cut short (no summary record) is never taken for a clean one.
head -n -1 "$work/runs/pc-infected.jsonl" >"$work/runs/pc-cut.jsonl"
python3 "$source_dir/fleet/merge_runs.py" "$work/cut.tsv" "$work/runs/pc-cut.jsonl" >/dev/null
[ "$(tail -1 "$work/cut.tsv")" = $'pc-cut\t-\t-\t-\t-\tincomplete' ] || { cat "$work/cut.tsv"; exit 1; }
rm -rf "$work"
echo "fleet ok"
