#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace tevra {

// Qt's own command-line options, which the window takes: those QApplication
// and QGuiApplication document (-platform NAME, -style NAME, -style=NAME,
// -reverse, -display DISPLAY, ...) and the X11 platform's (-name, -visual,
// -title, -icon, -nograb, -dograb). Qt takes each with one dash or two.
// How many of the following arguments `arg` takes as its value (0 or 1);
// none when `arg` is not one of them.
std::optional<int> QtOptionValues(std::string_view arg);

// Whether the arguments (after the program name) are the command line's
// rather than the window's: true as soon as one of them is neither a Qt
// option nor such an option's value. So the updater's own options, and
// anything it does not know, go to the command line (which refuses what it
// does not know); only Qt options, or nothing at all, open the window.
bool WantsCommandLine(std::span<const std::string_view> args);

}  // namespace tevra
