#pragma once
// Message boxes go through this interface so that the programs show a
// QMessageBox while tests record the texts without a modal loop.
// Show and Ask are called on the window thread.
#include <QString>
#include <QStringList>
#include <functional>
#include <mutex>

class QWidget;

namespace ui {

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // A box with an OK button; returns once it is dismissed.
    virtual void Show(QWidget* owner, const QString& title, const QString& text) = 0;
    // A Yes/No question; true for Yes.
    virtual bool Ask(QWidget* owner, const QString& title, const QString& text) = 0;
};

// The real thing: a QMessageBox owned by `owner`.
class QtMessageSink : public MessageSink {
public:
    void Show(QWidget* owner, const QString& title, const QString& text) override;
    bool Ask(QWidget* owner, const QString& title, const QString& text) override;
};

// Records every box (title and text) and answers questions with a set answer.
// Safe to read from any thread.
class RecordingMessageSink : public MessageSink {
public:
    struct Box {
        QString title;
        QString text;
        bool question = false;
    };
    void Show(QWidget* owner, const QString& title, const QString& text) override;
    bool Ask(QWidget* owner, const QString& title, const QString& text) override;

    void SetAnswer(bool yes);
    // Runs on the window thread while a box is "shown", like the user looking at it.
    void SetOnShow(std::function<void(const Box&)> onShow);

    QList<Box> Boxes() const;
    QStringList Texts() const;
    int Count() const;
    void ClearRecord();
    // Processes events until `count` boxes were recorded or `timeoutMs` passed.
    bool WaitForCount(int count, int timeoutMs) const;

private:
    mutable std::mutex mutex_;
    QList<Box> boxes_;
    bool answer_ = true;
    std::function<void(const Box&)> onShow_;
};

}  // namespace ui
