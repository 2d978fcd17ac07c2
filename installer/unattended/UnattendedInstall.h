#pragma once
// `lumbra install`: the install worker without windows.
//
// The model is a model row's printer name or model ("POS80"); the name
// defaults to the row's printer name. The port is "usb", "net:ADDRESS:PORT",
// "COM<n>" (with the serial settings of `com`), "LPT<n>", or any port name the
// spooler knows. Progress and status lines go to stdout, then the text of the
// final page. A port question the run cannot ask fails the install with a
// message that lists the ports there are. Returns the exit code
// (cli-common/ExitCode.h): done, usage (a value that cannot be used), printer
// not reachable (no USB printer for "usb"), or install failed.
#include <string>

namespace installer {

struct UnattendedOptions {
    std::string model;
    std::string name;
    std::string port;
    std::string folder;             // empty: the default install folder
    std::string language = "en";    // en, cn, ru
    std::string com = "115200,n,8,1,p";
    bool setDefault = true;
    bool useMonitor = true;
};

int RunUnattendedInstall(const UnattendedOptions& options);

}  // namespace installer
