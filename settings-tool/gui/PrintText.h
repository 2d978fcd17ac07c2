#pragma once
// The print-info text as the printer gets it: line breaks as "\r\n" (as the
// text box of the desktop this tool comes from holds them), in the system's
// single-byte code page, at most 2047 bytes, never cut inside a character.
#include <QString>
#include <cstddef>

#include "protocol/SettingsCommands.h"

namespace cadmon::gui {

inline constexpr std::size_t kPrintInfoMaxBytes = 2047;

// `editorText` has "\n" line breaks (as a Qt text box gives them).
protocol::Bytes PrintInfoBytes(const QString& editorText, std::size_t maxBytes = kPrintInfoMaxBytes);
// "\r\n" and lone "\r" become "\n", for putting a text into a Qt text box.
QString ToEditorLineBreaks(const QString& text);

}  // namespace cadmon::gui
