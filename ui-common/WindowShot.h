#pragma once
// A picture of a window as a user sees it: the offscreen platform draws no
// window frame, so the window's own picture gets a title bar carrying its
// icon and title. Used by the programs' screen renderers.
#include <QImage>

class QWidget;

namespace ui {

QImage GrabWithTitleBar(QWidget& window);

}  // namespace ui
