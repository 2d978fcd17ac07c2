// The usb scheme for a printer that no usblp driver serves, against a
// replayed usbdevfs exchange (link/tests/LibusbReplay.h): the pieces a
// delivery writes, and bytes the printer's recording does not have.
#include <gtest/gtest.h>

#include "link/Device.h"
#include "link/ProductIds.h"
#include "link/tests/LibusbReplay.h"
#include "link/tests/TestSupport.h"
#include "platform/linux/usb/LinuxUsbDeviceSource.h"

using linktest::LibusbReplay;

TEST_F(LibusbReplay, LongerMessagesGoInPiecesAndOtherBytesAreRefused) {
    platform_linux::LinuxUsbDeviceSource usb("/");
    printer_link::OpenOptions options;
    options.usb = &usb;
    options.productIds = &printer_link::ReceiptPrinterProductIds();
    const auto text = linktest::Pattern(100, 0x20);
    const printer_link::Result r =
        printer_link::Deliver("usb://0418/5011?serial=SN42", text.data(), text.size(), options,
                              printer_link::Pacing{64, 1000, nullptr});
    EXPECT_EQ(r.outcome, printer_link::Outcome::Sent)
        << "the recording expects " << linktest::Hex(linktest::Slice(text, 0, 64)) << " then "
        << linktest::Hex(linktest::Slice(text, 64, 36));
    EXPECT_EQ(r.sent, 100u);
    EXPECT_EQ(r.node, "/dev/bus/usb/001/002");

    // Bytes the printer's recording does not have: the write fails, nothing counts.
    const auto other = linktest::Pattern(23, 0x40);
    const printer_link::Result refused = printer_link::Deliver("usb:", other.data(), other.size(), options,
                                                               printer_link::Pacing{64, 1000, nullptr});
    EXPECT_EQ(refused.outcome, printer_link::Outcome::Reset);
    EXPECT_EQ(refused.sent, 0u);
}
