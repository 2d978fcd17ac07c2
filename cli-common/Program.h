#pragma once
// The command line every program shares, on CLI11: a table of subcommands,
// -h/--help at every level, "help SUBCOMMAND", --version, one exit-code table
// (ExitCode.h) at the foot of every help, and wrong input answered with one
// line saying what was wrong plus the usage line, exit 2.
//
//   cli::Program program({"cadmon", "settings and test utility for receipt printers", ...});
//   program.App().add_option("--net", ip, "...");           // the program's own options
//   program.Add({{"cut", "cut test", [&](CLI::App& cut) {    // one entry per subcommand:
//       return [&] { return RunCut(); };                     // its options, and what runs it
//   }}});
//   return program.Run(args, std::cout, std::cerr);
//
// The man page and the bash completion are written from the same definitions:
// `PROGRAM --man-page` and `PROGRAM --bash-completion` (the build runs them).
#include <CLI/CLI.hpp>

#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli-common/ExitCode.h"
#include "cli-common/Values.h"

namespace cli {

// What runs a subcommand once its command line has been read; returns the exit code.
using Runner = std::function<int()>;

struct Subcommand {
    std::string name;
    std::string summary;                      // one line: the program's list, the man page
    std::function<Runner(CLI::App&)> define;  // adds the options and arguments; returns what runs it
    std::string details = {};                 // below the options: more words and examples
};

// Wrong input found while running a subcommand: exit 2, with its usage line.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
// Input refused before anything was sent: exit 4, the text on stderr.
struct Refusal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The name a program was started under (argv[0] without its folder), for the
// payload's programs, which are installed under other names than they are built.
std::string NameRunAs(const char* argv0);

struct ProgramText {
    std::string name;         // "cadmon"
    std::string whatis;       // the man page's NAME line: "settings and test utility for receipt printers"
    std::string description;  // the top of --help
    std::string notes = {};   // after the subcommands: environment, what to watch out for
    bool installExitCode = false;  // lumbra: the install-failed code belongs to its table
};

class Program {
public:
    explicit Program(ProgramText text);
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    CLI::App& App() { return app_; }
    const std::string& Name() const { return text_.name; }

    // Adds the subcommands of a table, in its order.
    void Add(const std::vector<Subcommand>& table);
    // What runs when the command line names no subcommand (a window). Without
    // it a subcommand is required.
    void SetDefault(Runner run) { default_ = std::move(run); }

    // Reads `args` (without the program name) and runs what they name.
    int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

    void WriteManPage(std::ostream& out) const;
    void WriteBashCompletion(std::ostream& out) const;

private:
    int ReportUsage(const std::string& what, const CLI::App* command, std::ostream& err) const;
    const CLI::App* Selected() const;

    ProgramText text_;
    CLI::App app_;
    std::map<const CLI::App*, Runner> runners_;
    std::map<const CLI::App*, std::string> details_;
    Runner default_;
    std::shared_ptr<std::string> helpTopic_ = std::make_shared<std::string>();  // "help SUBCOMMAND"
};

// "Usage: cadmon [OPTIONS] set-ip NEWIP MASK GATEWAY" (no line end).
std::string UsageLine(const CLI::App& command);

// The version every program reports: the project's.
const char* ProjectVersion();

// Checks for option values, with the reading of Values.h.
CLI::Validator Between(long low, long high);  // decimal digits, low..high
CLI::Validator Ipv4Value();  // "192.168.0.1"
CLI::Validator MacValue();   // "0:1a:b:ff:7:c0" or with '-'
// The text of a value as an address or MAC (after the checks above).
protocol::Ipv4 Ipv4Of(const std::string& text);
protocol::Mac MacOf(const std::string& text);

}  // namespace cli
