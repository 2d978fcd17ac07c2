#pragma once
// For the programs: the USB device source of this platform, below the root
// their main reads from the environment,
//   auto usb = printer_link::MakeSystemUsbDeviceSource(printer_link::UsbRootFromEnvironment());
#include "platform/linux/usb/LinuxUsbDeviceSource.h"
#include "platform/linux/usb/UsbEnumerator.h"
