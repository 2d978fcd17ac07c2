#pragma once
// What the update tool's actions need from PrintSetWindow. The Qt window
// implements it; the subcommands draw on a terminal; tests record the calls.
// Every call comes from the thread that runs the action (the window's thread
// in the program) except where a method says otherwise. Texts are UTF-8.
#include <cstdint>
#include <string>

namespace ferrik {

enum class ActionButton { UsbUpdate, NetworkUpdate };

class UpdateWindow {
public:
    virtual ~UpdateWindow() = default;
    // Moves the progress bar to `position` (0..100; larger values show a full
    // bar). `bytesDone` is the byte count the position was computed from.
    virtual void SetProgress(int position, std::int64_t bytesDone) = 0;
    // The device-path line. May be called from any thread.
    virtual void ShowDevicePath(const std::string& path) = 0;
    // The status line ("USB Connect"). May be called from any thread.
    virtual void ShowStatus(const std::string& text) = 0;
    // A message box with an OK button; returns once it is dismissed.
    virtual void ShowMessageBox(const std::string& text) = 0;
    virtual void SetButtonEnabled(ActionButton button, bool enabled) = 0;
    // Empties the device list (the caller empties the device table with it).
    virtual void ClearDeviceList() = 0;
    // Shows `text`, and when it is dismissed ends the whole program with
    // `status`. The program does not return from it; test windows record the
    // call and the action then returns at once.
    virtual void EndProgram(const std::string& text, int status) = 0;
};

}  // namespace ferrik
