#include "cli/window_options.h"

#include <array>

namespace tevra {
namespace {

// Spelt with one dash; Qt strips one of two.
constexpr std::array<std::string_view, 16> kWithValue = {
    "-platform",    "-platformpluginpath", "-platformtheme", "-plugin", "-qwindowgeometry",
    "-qwindowicon", "-qwindowtitle",       "-session",       "-style",  "-stylesheet",
    "-display",     "-geometry",           "-title",         "-icon",   "-name",
    "-visual"};
constexpr std::array<std::string_view, 5> kFlags = {"-reverse", "-widgetcount", "-testability",
                                                    "-nograb", "-dograb"};
// The value joined with '='.
constexpr std::array<std::string_view, 3> kJoined = {"-style=", "-stylesheet=", "-qmljsdebugger="};

}  // namespace

std::optional<int> QtOptionValues(std::string_view arg) {
  if (arg.starts_with("--")) {
    arg.remove_prefix(1);
  }
  for (const std::string_view option : kWithValue) {
    if (arg == option) {
      return 1;
    }
  }
  for (const std::string_view option : kFlags) {
    if (arg == option) {
      return 0;
    }
  }
  for (const std::string_view prefix : kJoined) {
    if (arg.starts_with(prefix)) {
      return 0;
    }
  }
  return std::nullopt;
}

bool WantsCommandLine(std::span<const std::string_view> args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::optional<int> values = QtOptionValues(args[i]);
    if (!values) {
      return true;
    }
    i += static_cast<std::size_t>(*values);
  }
  return false;
}

}  // namespace tevra
