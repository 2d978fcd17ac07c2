#include "ui-common/MessageSink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QThread>

namespace ui {

void QtMessageSink::Show(QWidget* owner, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok, owner);
    box.exec();
}

bool QtMessageSink::Ask(QWidget* owner, const QString& title, const QString& text) {
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, owner);
    return box.exec() == QMessageBox::Yes;
}

void RecordingMessageSink::Show(QWidget*, const QString& title, const QString& text) {
    Box box{title, text, false};
    std::function<void(const Box&)> onShow;
    {
        std::lock_guard lock(mutex_);
        boxes_.append(box);
        onShow = onShow_;
    }
    if (onShow) onShow(box);
}

bool RecordingMessageSink::Ask(QWidget*, const QString& title, const QString& text) {
    Box box{title, text, true};
    std::function<void(const Box&)> onShow;
    bool answer = false;
    {
        std::lock_guard lock(mutex_);
        boxes_.append(box);
        onShow = onShow_;
        answer = answer_;
    }
    if (onShow) onShow(box);
    return answer;
}

void RecordingMessageSink::SetAnswer(bool yes) {
    std::lock_guard lock(mutex_);
    answer_ = yes;
}

void RecordingMessageSink::SetOnShow(std::function<void(const Box&)> onShow) {
    std::lock_guard lock(mutex_);
    onShow_ = std::move(onShow);
}

QList<RecordingMessageSink::Box> RecordingMessageSink::Boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
}

QStringList RecordingMessageSink::Texts() const {
    std::lock_guard lock(mutex_);
    QStringList texts;
    for (const Box& box : boxes_) texts << box.text;
    return texts;
}

int RecordingMessageSink::Count() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(boxes_.size());
}

void RecordingMessageSink::ClearRecord() {
    std::lock_guard lock(mutex_);
    boxes_.clear();
}

bool RecordingMessageSink::WaitForCount(int count, int timeoutMs) const {
    QDeadlineTimer deadline(timeoutMs);
    while (Count() < count) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

}  // namespace ui
