#!/usr/bin/env bash
# Runs a command as on a desktop without Qt: in a private mount namespace
# (root only) every library the portable updater carries is replaced by an
# empty file (libOpenGL.so.0 too, which only Qt pulls in on many desktops),
# and the system Qt's plugins and CJK font are hidden.
#   unshare -m tests/portable/without_system_qt.sh COMMAND...
set -euo pipefail
lib=/usr/lib/x86_64-linux-gnu
for f in "$lib"/lib{Qt6,icu,double-conversion,pcre2-16,b2.so,gomp,md4c,xkbcommon,SM.so,ICE.so,OpenGL.so}* \
  "$lib"/libxcb-{icccm,image,keysyms,render-util,util,randr,render,shape,shm,sync,xfixes,xkb}.so*; do
  if [[ -f $f && ! -L $f ]]; then mount --bind /dev/null "$f"; fi
done
mount -t tmpfs none "$lib/qt6"
mount -t tmpfs none /usr/share/fonts/truetype/wqy
exec "$@"
