#pragma once

#include "ui/windows/windows_api.h"

namespace tevra::win32 {

// Runs the about box, built from its dialog table, modally over owner.
void RunAboutBox(HWND owner);

}  // namespace tevra::win32
