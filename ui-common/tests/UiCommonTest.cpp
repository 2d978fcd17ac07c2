// The shared widgets and helpers: the address field driven by key presses,
// and the window-call gate under the three ways a background call can meet
// its window (same thread, live window, window closing).
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QThread>

#include <atomic>
#include <chrono>
#include <thread>

#include "ui-common/IpAddressEdit.h"
#include "ui-common/MessageSink.h"
#include "ui-common/WindowCallGate.h"

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "ui_common_test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own globals may be gone by the time statics are.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

using ui::CIpAddressEdit;

TEST(IpAddressEdit, BlankReadsZeroAndTypingWalksThroughTheBoxes) {
    App();
    CIpAddressEdit edit;
    edit.show();
    edit.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&edit));
    EXPECT_TRUE(edit.IsBlank());
    EXPECT_EQ(edit.Address(), (CIpAddressEdit::Octets{0, 0, 0, 0}));
    EXPECT_EQ(edit.Text(), QStringLiteral("0.0.0.0"));

    // Dots and full octets move on; a digit that would make the octet exceed 255 is refused.
    edit.OctetBox(0)->setFocus();
    QTest::keyClicks(edit.OctetBox(0), QStringLiteral("192"));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("168."));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("1."));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("256"));
    EXPECT_EQ(edit.OctetBox(3)->text(), QStringLiteral("25"));
    EXPECT_EQ(edit.Address(), (CIpAddressEdit::Octets{192, 168, 1, 25}));

    // Backspace in an empty box goes back to the previous one.
    edit.OctetBox(3)->clear();
    edit.OctetBox(3)->setFocus();
    QTest::keyClick(edit.OctetBox(3), Qt::Key_Backspace);
    EXPECT_EQ(QApplication::focusWidget(), edit.OctetBox(2));

    // A partly blank field reads its blanks as 0.
    edit.OctetBox(1)->clear();
    EXPECT_EQ(edit.Text(), QStringLiteral("192.0.1.0"));

    EXPECT_TRUE(edit.SetText(QStringLiteral("255.255.255.0")));
    EXPECT_EQ(edit.Address(), (CIpAddressEdit::Octets{255, 255, 255, 0}));
    EXPECT_FALSE(edit.SetText(QStringLiteral("1.2.3")));
    EXPECT_FALSE(edit.SetText(QStringLiteral("1.2.3.256")));
    EXPECT_FALSE(edit.SetText(QStringLiteral("1.2.x.4")));
    EXPECT_EQ(edit.Text(), QStringLiteral("255.255.255.0"));
    edit.Clear();
    EXPECT_TRUE(edit.IsBlank());
}

TEST(WindowCallGate, DirectOnOwnThreadQueuedFromOthers) {
    App();
    QObject window;
    ui::WindowCallGate gate(&window);

    // Own thread: a direct call, no event loop needed (a blocking queued call would deadlock).
    auto same = gate.Call([&] { return QThread::currentThread(); });
    ASSERT_TRUE(same.has_value());
    EXPECT_EQ(*same, window.thread());

    // Another thread: runs on the window thread, returns the value.
    std::optional<QThread*> ranOn;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        ranOn = gate.Call([&] { return QThread::currentThread(); });
        finished = true;
    });
    while (!finished) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    worker.join();
    ASSERT_TRUE(ranOn.has_value());
    EXPECT_EQ(*ranOn, window.thread());
}

TEST(WindowCallGate, ClosingReleasesWaitersAndSkipsTheirQueuedCalls) {
    App();
    auto window = std::make_unique<QObject>();
    auto gate = std::make_unique<ui::WindowCallGate>(window.get());
    std::atomic<int> ran{0};
    std::atomic<int> released{0};
    std::atomic<int> failed{0};

    // Two threads block in calls the window thread never serves (it is busy here).
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
        threads.emplace_back([&] {
            const bool ok = gate->Call([&] { ++ran; });
            if (!ok) ++failed;
            ++released;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(released.load(), 0);

    const auto start = std::chrono::steady_clock::now();
    gate->Close();
    for (auto& t : threads) t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(failed.load(), 2);

    // The queued calls are still in the event queue: they must not run now.
    QCoreApplication::processEvents();
    EXPECT_EQ(ran.load(), 0);

    // Calls after closing fail at once, from any thread, and posts are dropped.
    EXPECT_FALSE(gate->Call([&] { ++ran; }));
    std::thread late([&] { EXPECT_FALSE(gate->Call([&] { return 1; }).has_value()); });
    late.join();
    gate->Post([&] { ++ran; });
    QCoreApplication::processEvents();
    EXPECT_EQ(ran.load(), 0);

    // The window may go before the gate object.
    window.reset();
    EXPECT_FALSE(gate->Call([&] { ++ran; }));
}

TEST(WindowCallGate, NestedCloseLetsTheRunningCallFinish) {
    App();
    QObject window;
    ui::WindowCallGate gate(&window);
    std::atomic<bool> done{false};
    bool result = false;
    std::thread worker([&] {
        result = gate.Call([&] {
            gate.Close();  // the window closes while serving this call
        });
        done = true;
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    worker.join();
    EXPECT_TRUE(result);
    EXPECT_TRUE(gate.IsClosed());
}

TEST(RecordingMessageSink, RecordsBoxesAndAnswers) {
    App();
    ui::RecordingMessageSink sink;
    QStringList seen;
    sink.SetOnShow([&](const ui::RecordingMessageSink::Box& box) { seen << box.text; });
    sink.Show(nullptr, QStringLiteral("Cadmon"), QStringLiteral("connect ok"));
    sink.SetAnswer(false);
    EXPECT_FALSE(sink.Ask(nullptr, QStringLiteral("T"), QStringLiteral("Sure?")));
    ASSERT_EQ(sink.Count(), 2);
    EXPECT_EQ(sink.Boxes()[0].title, QStringLiteral("Cadmon"));
    EXPECT_TRUE(sink.Boxes()[1].question);
    EXPECT_EQ(seen, (QStringList{QStringLiteral("connect ok"), QStringLiteral("Sure?")}));
    EXPECT_TRUE(sink.WaitForCount(2, 10));
    EXPECT_FALSE(sink.WaitForCount(3, 20));
}

}  // namespace
