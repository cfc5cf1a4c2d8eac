#!/usr/bin/env bash
# Makes the systems the customers' tier runs the updater on: Debian roots made
# with `debootstrap --variant=minbase` from the mirror this machine's apt
# already uses, each under BUILD_SYSTEMS_DIR/NAME. A root is made once and
# made again only when its recipe (suite, packages, the way it is made)
# changes.
# Prints each root's making time and size; fails when a root cannot be made.
# Usage: tests/systems/prepare.sh BUILD_SYSTEMS_DIR [NAME...]
set -euo pipefail
out="${1:?usage: prepare.sh BUILD_SYSTEMS_DIR [NAME...]}"
shift
mkdir -p "$out"
out="$(cd "$out" && pwd)"

say() { echo "systems: $*" >&2; }
die() { echo "systems: FAILED: $*" >&2; exit 1; }

# NAME SUITE PACKAGES: what a customer's desktop has, and no more. Debian 12
# is a desktop without Qt: the libraries every desktop has and the portable
# updater leaves to the system (X client, fontconfig and FreeType, HarfBuzz,
# GLib, D-Bus, libglvnd without a driver), but no Qt, no ICU, no xcb utility
# or xkbcommon library and no CJK font. Debian 13 has a Qt 6 of its own (with
# its platform plugins, as any desktop that has Qt installed) that a portable
# updater must not load.
desktop="libx11-6,libx11-xcb1,libxcb1,libfontconfig1,libfreetype6,libharfbuzz0b"
desktop+=",libglib2.0-0,libdbus-1-3,libegl1,libglx0,libpng16-16"
recipes=(
  "debian12 bookworm fonts-dejavu-core,$desktop"
  "debian13 trixie fonts-dejavu-core,libqt6widgets6,qt6-qpa-plugins"
)

[[ $(id -u) -eq 0 ]] || die "making the roots needs root (debootstrap, mount namespaces)"
"$(dirname "$0")/../../scripts/setup.sh" systems

# The archive behind this machine's own suite, in either sources format.
mirror() {
  local codename
  # shellcheck disable=SC1091 # the host's own file
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  [[ -n "$codename" ]] || return 0
  local files=()
  shopt -s nullglob
  files=(/etc/apt/sources.list.d/*.sources)
  ((${#files[@]})) && awk -v want="$codename" 'BEGIN { RS = "" }
    { types = uris = suites = ""
      n = split($0, line, "\n")
      for (i = 1; i <= n; i++) {
        l = line[i]
        if (l ~ /^#/) continue
        if (sub(/^Types:[ \t]*/, "", l)) types = l
        else if (sub(/^URIs:[ \t]*/, "", l)) uris = l
        else if (sub(/^Suites:[ \t]*/, "", l)) suites = l
      }
      if ((" " types " ") ~ / deb / && (" " suites " ") ~ (" " want " ")) {
        split(uris, u, " "); print u[1]; exit
      } }' "${files[@]}"
  files=(/etc/apt/sources.list.d/*.list)
  [[ -f /etc/apt/sources.list ]] && files+=(/etc/apt/sources.list)
  ((${#files[@]})) && awk -v want="$codename" '$1 == "deb" {
      i = 2
      if ($2 ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
      if ($(i + 1) == want) { print $i; exit } }' "${files[@]}"
  shopt -u nullglob
}

# Bumped when the way a root is made changes, so that cached ones are remade.
self="minbase-2"
want_names=("$@")
todo=()
for recipe in "${recipes[@]}"; do
  read -r name suite packages <<<"$recipe"
  if ((${#want_names[@]})) && [[ " ${want_names[*]} " != *" $name "* ]]; then
    continue
  fi
  if [[ -f "$out/$name.recipe" && "$(cat "$out/$name.recipe")" == "$recipe $self" ]]; then
    say "$name: cached ($(cat "$out/$name.made" 2>/dev/null || echo "figures unknown"))"
    continue
  fi
  todo+=("$recipe")
done
((${#todo[@]})) || exit 0

url="$(mirror | head -n 1)"
[[ -n "$url" ]] || die "no apt source for this machine's own suite in /etc/apt to take the mirror from"
say "mirror: $url"

# One root, in a mount namespace of its own so that nothing debootstrap
# mounts outlives it; a half-made root never takes the final name.
make_root() {
  local recipe="$1" name suite packages started elapsed size
  read -r name suite packages <<<"$recipe"
  local dir="$out/$name" new="$out/$name.new"
  rm -f "$out/$name.recipe" "$out/$name.made"
  rm -rf --one-file-system "$new" "$dir"
  started=$SECONDS
  if ! unshare -m --propagation private debootstrap --variant=minbase --include="$packages" \
    "$suite" "$new" "$url" >"$out/$name.log" 2>&1; then
    tail -n 15 "$out/$name.log" | sed "s/^/systems:   $name: /" >&2
    echo "$name: debootstrap $suite failed (log: $out/$name.log)" >"$out/$name.failed"
    return 1
  fi
  # The customer runs the updater as a user of their own, not as root.
  if ! chroot "$new" useradd --uid 1000 --user-group --no-create-home --home-dir /nonexistent \
    customer >>"$out/$name.log" 2>&1; then
    echo "$name: cannot add the customer's user (log: $out/$name.log)" >"$out/$name.failed"
    return 1
  fi
  rm -rf "$new"/var/cache/apt/archives/*.deb "$new"/var/lib/apt/lists/*_Packages
  mv "$new" "$dir"
  elapsed=$((SECONDS - started))
  size="$(du -sm --one-file-system "$dir" | cut -f1)"
  echo "made in $elapsed s, $size MB" >"$out/$name.made"
  echo "$recipe $self" >"$out/$name.recipe"
  say "$name ($suite + $packages): made in $elapsed s, $size MB"
}

# The roots are made side by side: each waits mostly on the network and dpkg.
pids=()
for recipe in "${todo[@]}"; do
  read -r name _ <<<"$recipe"
  rm -f "$out/$name.failed"
  say "$name: making (log: $out/$name.log)"
  make_root "$recipe" &
  pids+=($!)
done
failed=0
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
if ((failed)); then
  cat "$out"/*.failed >&2
  die "a root could not be made; the tier cannot run without it"
fi
