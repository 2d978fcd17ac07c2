#pragma once
// `lumbra install`: the install worker without windows.
//
//   lumbra install --model MODEL [--name NAME] --port PORT [--folder DIR]
//                  [--no-default] [--no-monitor] [--language en|cn|ru]
//                  [--com BAUD,PARITY,BITS,STOP,FLOW]
//
// MODEL is a model row's printer name or model ("POS80"); NAME defaults to the
// row's printer name. PORT is "usb", "net:ADDRESS:PORT", "COM<n>" (with the
// serial settings of --com, default 115200,n,8,1,p), "LPT<n>", or any port name
// the spooler knows. Progress and status lines go to stdout, then the text of
// the final page. A port question the run cannot ask fails the install with a
// message that lists the ports there are. Exit status: 0 installed, 1 failed,
// 2 usage or configuration error.
#include <string>
#include <vector>

namespace installer {

int RunUnattendedInstall(const std::vector<std::string>& args);

}  // namespace installer
