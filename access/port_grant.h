#pragma once

namespace tevra {

// tevra-updater --grant-port DEVICE [--always]: the one step that runs as
// root, through pkexec (or sudo), for the desktop user who cannot open a
// serial adapter yet. main() hands it argv before anything else runs: no
// window, cache, payload or numbering state, nothing from the user's home.
//
// Command line: exactly `--grant-port /dev/NAME` or `--grant-port /dev/NAME
// --always`. The user is never taken from it: it is PKEXEC_UID, else
// SUDO_UID (the only environment read), all digits, not 0, known to
// getpwuid; the effective uid must be 0.
// Device: a character device directly in /dev, not a link, whose number the
// kernel lists as the tty NAME with a device behind it, not an 8250 slot
// without a UART, and no console (see SerialNode). It is never opened for I/O.
// Grant: the POSIX ACL entry user:UID:rw- on that node, other entries kept,
// read back (gone when the adapter is unplugged). With --always, the model's
// USB ids are needed first; then /etc/udev/rules.d/70-tevra-updater-VVVV-
// PPPP.rules tags every adapter of that model "uaccess", and udev is asked
// to reload and apply it (when it cannot, a note says the rule applies once
// udev loads it; the grant still succeeds).
// Output: on success one line on stdout and one line to the system log
// (LOG_AUTHPRIV) naming the user, the device and what was granted;
// otherwise one line on stderr saying why.
// Exit status: 0 granted; 2 refused, nothing changed (command line, user,
// not root, not a serial adapter's node, a console, --always without USB
// ids); 1 failed while acting (access list not written or not read back,
// rule file not written).
int GrantPortMain(int argc, const char* const* argv);

}  // namespace tevra
