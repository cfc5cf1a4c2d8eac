#!/usr/bin/env bash
# The portable updater's floor: every ELF object inside the file (the
# updater, its window module, each carried library and plugin, unpacked here
# from their sections; fonts aside) needs at most GLIBC_2.35, GLIBCXX_3.4.30 and
# CXXABI_1.3.13 (Ubuntu 22.04, Debian 12). Prints the highest version of each
# family and the object that needs it; fails above the floor.
#   tests/portable/floor_test.sh build/portable/tevra-updater
set -euo pipefail
updater=$1
declare -A floor=([GLIBC]=2.35 [GLIBCXX]=3.4.30 [CXXABI]=1.3.13)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

objcopy -O binary --only-section=.tevra_window "$updater" "$tmp/tevra-window.so"
objcopy -O binary --only-section=.tevra_carried_archive "$updater" "$tmp/qt.zst"
objcopy -O binary --only-section=.tevra_carried_manifest "$updater" "$tmp/manifest"
[[ -s $tmp/qt.zst && -s $tmp/manifest ]] || { echo "FAIL: $updater carries no libraries"; exit 1; }
zstd -q -dc "$tmp/qt.zst" >"$tmp/all"
objects=("$updater" "$tmp/tevra-window.so")
offset=0
while read -r _ _ size path; do
  mkdir -p "$(dirname "$tmp/x/$path")"
  dd if="$tmp/all" of="$tmp/x/$path" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$size" status=none
  offset=$((offset + size))
  cmp -s -n 4 <(printf '\177ELF') "$tmp/x/$path" && objects+=("$tmp/x/$path")
done <"$tmp/manifest"
[[ $offset -eq $(stat -c %s "$tmp/all") ]] || { echo "FAIL: the archive does not match its list"; exit 1; }

status=0
for family in GLIBC GLIBCXX CXXABI; do
  highest=0 who=
  for object in "${objects[@]}"; do
    for v in $(objdump -p "$object" | awk '/Version References/ {r = 1} r {print $4}' |
      sed -n "s/^${family}_\([0-9.]*\)$/\1/p"); do
      if [[ $(printf '%s\n%s\n' "$highest" "$v" | sort -V | tail -1) == "$v" && $v != "$highest" ]]; then
        highest=$v who=${object#"$tmp/x/"}
      fi
    done
  done
  verdict=ok
  if [[ $(printf '%s\n%s\n' "$highest" "${floor[$family]}" | sort -V | tail -1) != "${floor[$family]}" ]]; then
    verdict="FAIL: above ${family}_${floor[$family]}"
    status=1
  fi
  echo "${family}_$highest (${who##*/}) $verdict"
done
echo "${#objects[@]} ELF objects checked"
exit $status
