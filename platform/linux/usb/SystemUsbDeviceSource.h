#pragma once
// Factory for the programs: the USB device source of this platform.
#include "platform/linux/usb/LinuxUsbDeviceSource.h"
