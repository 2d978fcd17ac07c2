#pragma once
// Six small hexadecimal boxes holding one MAC byte each ("%x": 5 shows as 5,
// 171 as ab), as in the main window and the search window.
#include <QLineEdit>
#include <array>
#include <optional>

#include "protocol/SettingsCommands.h"

namespace cadmon::gui {

using MacBoxArray = std::array<QLineEdit*, 6>;

// Creates the boxes as children of `parent`: at most two hexadecimal digits each.
MacBoxArray MakeMacBoxes(QWidget* parent, const QString& objectNamePrefix);
void ShowMac(const MacBoxArray& boxes, const protocol::Mac& mac);
// The six bytes, or nothing when a box does not hold one or two hexadecimal digits.
std::optional<protocol::Mac> ReadMac(const MacBoxArray& boxes);

}  // namespace cadmon::gui
