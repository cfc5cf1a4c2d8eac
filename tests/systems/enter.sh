#!/usr/bin/env bash
# Runs COMMAND in ROOT as its only system, in a mount namespace of its own
# (nothing mounted here outlives it): the host's /dev (with the simulator's
# pseudo-terminals), /proc, /sys and X socket directory, RUN at /tevra, and
# the environment a desktop session gives (state under /tevra/NAME), as the
# root's user "customer" (uid 1000). The command keeps this script's process id.
# Usage: enter.sh ROOT RUN NAME COMMAND...   (DISPLAY from the environment)
set -euo pipefail
dir="$1" run="$2" name="$3"
shift 3
mkdir -p "$dir/tevra" "$dir/tmp/.X11-unix" "$run/$name/runtime" "$run/$name/home"
chown 1000:1000 "$run/$name" "$run/$name/runtime" "$run/$name/home"
chmod 0700 "$run/$name/runtime"
# shellcheck disable=SC2016 # expanded by the namespace's shell
exec unshare -m --propagation private bash -c '
  set -e
  dir="$1" run="$2" name="$3"
  shift 3
  mount --rbind /dev "$dir/dev"
  mount -t proc proc "$dir/proc"
  mount --rbind /sys "$dir/sys"
  mount --bind /tmp/.X11-unix "$dir/tmp/.X11-unix"
  mount --bind "$run" "$dir/tevra"
  exec chroot --userspec=1000:1000 "$dir" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
    HOME="/tevra/$name/home" XDG_RUNTIME_DIR="/tevra/$name/runtime" \
    XDG_STATE_HOME="/tevra/$name/home/state" TEVRA_PORTS_DIR="/tevra/$name/ports" \
    DISPLAY="$DISPLAY" "$@"' _ "$dir" "$run" "$name" "$@"
