#pragma once
// The update tool's subcommands: the window's actions without a window, for
// technicians who set up many printers and for tests.
//
//   ferrik flash --usb [FILE]          firmware over USB (FILE: PRINT_NET80.bin)
//   ferrik flash --net IP [FILE]       firmware over TCP port 9100
//   ferrik font [FILE]                 font file over USB (FILE: gb2312)
//   ferrik set [--codepage ENTRY] [--width 80CM|58CM] [--beep 1|2|3]
//   ferrik dark 0|1|2
//   ferrik x-usb | g-usb
//   ferrik scan [--seconds N]
//   ferrik set-network --printer IP|MAC [--ip IP] [--mask M] [--gateway G] [--mac XX:..] [--dhcp]
//                      [--seconds N]
//   ferrik connect-test IP
#include <iosfwd>
#include <string>
#include <vector>

#include "link/UsbDeviceSource.h"

namespace ferrik {

// True when the arguments name a subcommand (otherwise the window opens).
bool IsSubcommand(const std::vector<std::string>& args);

// Runs one subcommand. Messages go to `out`, the progress bar, usage errors
// and what a failure was (the device and the reason) to `err`. Exit status:
// 0 done, 1 "Print error", 2 usage, 3 another failure.
int RunSubcommand(const std::vector<std::string>& args, printer_link::UsbDeviceSource& usb, std::ostream& out,
                  std::ostream& err);

}  // namespace ferrik
