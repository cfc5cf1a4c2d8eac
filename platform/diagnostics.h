#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tevra {

// The one way a cause reaches a person: one line per event, "tevra-updater: "
// in front, written in one write(2) so lines of different threads never mix.
// Any thread may call Diagnose. A front end that owns the terminal (the
// headless console) installs a sink so that lines from worker threads do not
// break what it draws; the sink is then called from those threads and must
// be thread-safe and must not block.
void Diagnose(std::string_view line);

// Replaces where Diagnose writes; an empty function restores standard error.
// Install before the threads that may diagnose start, remove after they end.
void SetDiagnosticSink(std::function<void(std::string_view line)> sink);

// text with every control character (C0, DEL, C1 in UTF-8 and raw bytes
// 0x80..0x9F) and every byte that is not valid UTF-8 escaped as \xNN (\n, \t,
// and on Linux \\ as such; on Windows, whose paths it mostly shows, a
// backslash stays one), so a name from a USB descriptor, a link target or an option
// can never move the cursor, retitle or clear a terminal.
std::string Printable(std::string_view text);

// The length of the well-formed UTF-8 sequence at text[i] (no overlong form,
// surrogate or code point past U+10FFFF); 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i);

}  // namespace tevra
