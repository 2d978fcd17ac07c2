// The settings utility's sender on a printer that no usblp driver serves:
// libusb against a replayed usbdevfs exchange (link/tests/LibusbReplay.h).
#include <gtest/gtest.h>

#include "link/tests/LibusbReplay.h"
#include "link/tests/TestSupport.h"
#include "platform/linux/usb/LinuxUsbDeviceSource.h"
#include "protocol/SettingsCommands.h"
#include "settings-tool/sender/CommandSender.h"
#include "settings-tool/sender/tests/TestWindow.h"

using linktest::LibusbReplay;

TEST_F(LibusbReplay, SetIpGoesToTheBulkEndpointInOnePiece) {
    platform_linux::LinuxUsbDeviceSource usb("/");
    const auto devices = usb.Enumerate();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].path, "\\\\?\\usb#vid_0418&pid_5011#sn42#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    EXPECT_TRUE(devices[0].node.empty());  // no usblp: the bulk endpoint it is

    // The settings utility's sender, as the window drives it.
    sendertest::TestWindow window;
    sender::CommandSender sender(window, usb);
    sender.Start();
    const auto setIp = protocol::SetIp({192, 168, 1, 199}, {255, 255, 255, 0}, {192, 168, 0, 1});
    sender.SubmitCommand(setIp);
    ASSERT_TRUE(sender.WaitUntilIdle(10000));
    sender.Stop();
    EXPECT_TRUE(window.Events().empty())
        << window.Events().front() << "; the recording expects one bulk write of " << linktest::Hex(setIp);
}
