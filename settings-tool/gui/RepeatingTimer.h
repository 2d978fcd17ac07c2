#pragma once
// The main window's automatic-send timer behind a small interface, so that
// tests fire its ticks themselves instead of waiting for real time.
#include <functional>
#include <memory>

class QObject;

namespace cadmon::gui {

class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
    // Starts ticking every `periodMs`, replacing any running timer.
    virtual void Start(int periodMs, std::function<void()> onTick) = 0;
    virtual bool IsRunning() const = 0;
    // The period asked for by the last Start().
    virtual int PeriodMs() const = 0;
};

// A QTimer on the window thread. A period below 10 ms runs at 10 ms, the
// shortest window timer of the desktop this tool comes from.
std::unique_ptr<RepeatingTimer> MakeQtRepeatingTimer(QObject* parent);

}  // namespace cadmon::gui
