#include "settings-tool/gui/RepeatingTimer.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <algorithm>

namespace cadmon::gui {
namespace {

class QtRepeatingTimer : public RepeatingTimer {
public:
    explicit QtRepeatingTimer(QObject* parent) : timer_(new QTimer(parent)) {
        QObject::connect(timer_, &QTimer::timeout, timer_, [this] {
            if (onTick_) onTick_();
        });
    }
    ~QtRepeatingTimer() override { delete timer_.data(); }
    void Start(int periodMs, std::function<void()> onTick) override {
        onTick_ = std::move(onTick);
        period_ = periodMs;
        timer_->start(std::max(periodMs, 10));
    }
    bool IsRunning() const override { return timer_->isActive(); }
    int PeriodMs() const override { return period_; }

private:
    QPointer<QTimer> timer_;  // a child of the parent; deleted with this object
    std::function<void()> onTick_;
    int period_ = 0;
};

}  // namespace

std::unique_ptr<RepeatingTimer> MakeQtRepeatingTimer(QObject* parent) {
    return std::make_unique<QtRepeatingTimer>(parent);
}

}  // namespace cadmon::gui
