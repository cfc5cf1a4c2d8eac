# shellcheck shell=sh
# Sourced (sh): a system bus and a polkitd of the test's own, and the answer
# polkit gives one user asking pkexec to run a program as root, standing in
# for the administrator's password prompt. For the VM guest, or a private
# mount namespace on the host with a directory of its own bound over
# POLKIT_RULES (default /etc/polkit-1/rules.d): it writes /run/dbus and the
# rule file there.
#   polkit_answer USER yes|no [ACTION]; polkit_start; ...; polkit_answer USER ...; polkit_stop
# ACTION (default pkexec's own, org.freedesktop.policykit.exec) is the one
# action answered; every other is left to its defaults.
polkit_rules="${POLKIT_RULES:-/etc/polkit-1/rules.d}"
polkit_bus="" polkit_daemon=""

# Waits until polkitd holds its bus name (polkit_wait yes) or no longer
# does (polkit_wait no); gives up after POLKIT_WAIT_CAP seconds (default
# 300: a guest emulated on a busy machine is many times slower).
polkit_wait() {
  deadline=$(($(date +%s) + ${POLKIT_WAIT_CAP:-300}))
  while :; do
    owned=no
    dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null |
      grep -q "boolean true" && owned=yes
    [ "$owned" != "$1" ] || return 0
    [ "$(date +%s)" -lt "$deadline" ] || break
    sleep 0.1
  done
  echo "polkit.sh: polkitd did not $([ "$1" = yes ] && echo start || echo stop) within ${POLKIT_WAIT_CAP:-300} s" >&2
  return 1
}

# polkitd's own lines (its rules' and its decisions') go to POLKIT_LOG when set.
polkit_daemon_start() {
  /usr/lib/polkit-1/polkitd >>"${POLKIT_LOG:-/dev/null}" 2>&1 &
  polkit_daemon=$!
  polkit_wait yes
}

polkit_daemon_stop() {
  [ -z "$polkit_daemon" ] || { kill "$polkit_daemon" && wait "$polkit_daemon"; }
  polkit_daemon=""
  polkit_wait no
}

polkit_start() {
  mkdir -p /run/dbus "$polkit_rules"
  polkit_bus="$(dbus-daemon --system --fork --print-pid)" || return 1
  polkit_daemon_start
}

# Whether USER may run programs as root through pkexec without a password.
# A running polkitd is restarted so that the answer holds from the return on.
polkit_answer() {
  result=NO
  [ "$2" = yes ] && result=YES
  printf '%s\n' 'polkit.addRule(function(action, subject) {' \
    "  if (action.id == \"${3:-org.freedesktop.policykit.exec}\" && subject.user == \"$1\")" \
    "    return polkit.Result.$result;" '});' >"$polkit_rules/00-tevra-test.rules" &&
    chmod 0644 "$polkit_rules/00-tevra-test.rules" &&
    { [ -z "$polkit_daemon" ] || { polkit_daemon_stop && polkit_daemon_start; }; }
}

polkit_stop() {
  [ -z "$polkit_daemon" ] || { kill "$polkit_daemon"; wait "$polkit_daemon"; }
  [ -z "$polkit_bus" ] || kill "$polkit_bus"
  polkit_daemon="" polkit_bus=""
  rm -f "$polkit_rules/00-tevra-test.rules"
}
