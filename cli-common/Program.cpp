#include "cli-common/Program.h"

#include <algorithm>
#include <sstream>

#ifndef PROJECT_VERSION_TEXT
#error "PROJECT_VERSION_TEXT must hold the project's version"
#endif

namespace cli {

namespace {

constexpr std::size_t kColumn = 30;

bool TakesValue(const CLI::Option& option) { return option.get_expected_max() != 0; }

bool Shown(const CLI::Option& option) { return !option.get_group().empty(); }

// "-h, --help" for options, "NEWIP" for arguments.
std::string OptionNames(const CLI::Option& option) {
    if (option.get_positional())
        return option.get_option_text().empty() ? option.get_name(true, false) : option.get_option_text();
    std::string names;
    for (const std::string& name : option.get_snames()) names += (names.empty() ? "-" : ", -") + name;
    for (const std::string& name : option.get_lnames()) names += (names.empty() ? "--" : ", --") + name;
    if (TakesValue(option)) names += " " + option.get_type_name();
    return names;
}

// An argument in a usage line: "NEWIP", "[TEXT]", "BOXES...", or its written-out form.
std::string ArgumentUsage(const CLI::Option& option) {
    if (!option.get_option_text().empty()) return option.get_option_text();
    std::string text = option.get_name(true, false);
    if (option.get_expected_max() > 1) text += "...";
    return option.get_required() ? text : "[" + text + "]";
}

// "Usage: cadmon [OPTIONS] set-ip NEWIP MASK GATEWAY": the program's options
// and the subcommand's may stand before or after the subcommand.
std::string Usage(const CLI::App& app) {
    std::string line = "Usage: ";
    if (app.get_parent() != nullptr) {
        line += app.get_parent()->get_name() + " [OPTIONS] " + app.get_name();
    } else if (!app.get_subcommands({}).empty()) {
        return line + app.get_name() + " [OPTIONS] SUBCOMMAND [ARGUMENTS]";
    } else {
        line += app.get_name() + " [OPTIONS]";
    }
    // Options that must be given are part of the usage ("--model MODEL").
    for (const CLI::Option* option : app.get_options([](const CLI::Option* o) {
             return o->nonpositional() && o->get_required() && Shown(*o);
         }))
        line += " " + OptionNames(*option);
    for (const CLI::Option* option : app.get_options([](const CLI::Option* o) { return o->get_positional(); }))
        line += " " + ArgumentUsage(*option);
    return line;
}

// Help in the order a reader wants it: the usage line, what the command is,
// its arguments and options, the subcommands, then the notes.
class HelpFormatter : public CLI::Formatter {
public:
    HelpFormatter() {
        column_width(kColumn);
        label("Positionals", "Arguments");
    }

    std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode mode) const override {
        if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
        std::ostringstream out;
        out << Usage(*app) << '\n' << app->get_description();
        if (!app->get_description().empty() && app->get_description().back() != '\n') out << '\n';
        const auto positionals = app->get_options([](const CLI::Option* o) { return Shown(*o) && o->get_positional(); });
        if (!positionals.empty()) out << make_group(get_label("Positionals"), true, positionals);
        for (const std::string& group : app->get_groups()) {
            const auto options = app->get_options(
                [&group](const CLI::Option* o) { return o->get_group() == group && o->nonpositional(); });
            if (!group.empty() && !options.empty()) out << make_group(group, false, options);
        }
        out << make_subcommands(app, mode) << '\n' << make_footer(app);
        return out.str();
    }

    std::string make_option(const CLI::Option* option, bool) const override {
        std::ostringstream out;
        CLI::detail::format_help(out, OptionNames(*option), option->get_description(), get_column_width());
        return out.str();
    }

    // "set-ip NEWIP MASK GATEWAY" and its summary.
    std::string make_subcommand(const CLI::App* command) const override {
        std::string synopsis = command->get_name();
        for (const CLI::Option* option :
             command->get_options([](const CLI::Option* o) { return o->get_positional(); }))
            synopsis += " " + ArgumentUsage(*option);
        std::ostringstream out;
        CLI::detail::format_help(out, synopsis, command->get_description(), get_column_width());
        return out.str();
    }

    std::string make_usage(const CLI::App* app, std::string) const override { return Usage(*app) + "\n"; }

    std::string make_option_usage(const CLI::Option* option) const override { return ArgumentUsage(*option); }
};

// Text for man(7): backslashes and minus signs escaped, and a line that would
// read as a request (a leading dot or apostrophe) kept as text.
std::string Roff(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

// Text of a help (paragraphs, and indented lines such as examples and value
// lists) as man(7) paragraphs and no-fill blocks.
void RoffText(std::ostream& out, const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    bool inBlock = false;
    bool startParagraph = false;
    while (std::getline(lines, line)) {
        const bool indented = line.rfind("  ", 0) == 0;
        if (line.empty()) {
            if (inBlock) out << ".fi\n.RE\n";
            inBlock = false;
            startParagraph = true;
            continue;
        }
        if (indented && !inBlock) {
            out << ".RS\n.nf\n";
            inBlock = true;
        } else if (!indented && inBlock) {
            out << ".fi\n.RE\n";
            inBlock = false;
        }
        if (startParagraph && !inBlock) out << ".PP\n";
        startParagraph = false;
        out << Roff(indented ? line.substr(2) : line) << '\n';
    }
    if (inBlock) out << ".fi\n.RE\n";
}

void RoffOptions(std::ostream& out, const std::vector<const CLI::Option*>& options) {
    for (const CLI::Option* option : options) {
        out << ".TP\n" << "\\fB" << Roff(OptionNames(*option)) << "\\fR\n";
        RoffText(out, option->get_description());
    }
}

std::vector<const CLI::Option*> ShownOptions(const CLI::App& app, bool positional) {
    return app.get_options([positional](const CLI::Option* option) {
        return Shown(*option) && option->get_positional() == positional;
    });
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// A bash word list, one word per name.
std::string Words(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

std::vector<std::string> OptionWords(const CLI::App& app, bool valuesOnly, bool filesOnly) {
    std::vector<std::string> words;
    for (const CLI::Option* option : app.get_options()) {
        if (!Shown(*option) || option->get_positional()) continue;
        if (valuesOnly && !TakesValue(*option)) continue;
        const std::string type = option->get_type_name();
        if (filesOnly && type != "FILE" && type != "DIR") continue;
        for (const std::string& name : option->get_snames()) words.push_back("-" + name);
        for (const std::string& name : option->get_lnames()) words.push_back("--" + name);
    }
    return words;
}

// "NAME: rest" split at the first ": ".
bool SplitName(const std::string& text, std::string& name, std::string& rest) {
    const auto colon = text.find(": ");
    if (colon == std::string::npos) return false;
    name = text.substr(0, colon);
    rest = text.substr(colon + 2);
    return true;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The words after `before` up to the next blank: "N" of "At least N required".
std::string WordAfter(const std::string& text, const std::string& before) {
    const auto at = text.find(before);
    if (at == std::string::npos) return {};
    const auto start = at + before.size();
    return text.substr(start, text.find(' ', start) - start);
}

// CLI11's own reports of a wrong command line, in the words of our programs.
// Reports of the checks in this file are ours already and stay as they are.
std::string Reworded(const CLI::ParseError& error) {
    const std::string text = error.what();
    std::string name, rest;
    if (dynamic_cast<const CLI::RequiredError*>(&error)) {
        if (EndsWith(text, " is required")) return "missing " + text.substr(0, text.size() - 12);
        return text;
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
        if (EndsWith(text, " was given a disallowed flag override"))
            return text.substr(0, text.find(' ')) + " takes no value";
        if (text.rfind("Expected ", 0) == 0) {
            const std::string count = WordAfter(text, text.rfind("Expected exactly ", 0) == 0 ? "exactly " : "least ");
            const std::string option = WordAfter(text, " arguments to ");
            const std::string got = text.substr(text.rfind(' ') + 1);
            const bool exactly = text.rfind("Expected exactly ", 0) == 0;
            return option + (exactly ? " takes " : " needs at least ") + count + " values, not " + got;
        }
        if (!SplitName(text, name, rest)) return text;
        if (EndsWith(rest, " missing")) {
            const std::string type = rest.substr(0, rest.size() - 8);
            const auto blank = type.rfind(" required ");
            return "missing " + (blank == std::string::npos ? std::string("value") : type.substr(blank + 10)) +
                   " after " + name;
        }
        const std::string got = rest.substr(rest.rfind(' ') + 1);
        if (rest.rfind("At least ", 0) == 0)
            return name + " needs at least " + WordAfter(rest, "At least ") + " values, not " + got;
        if (rest.rfind("At Most ", 0) == 0)
            return name + " takes at most " + WordAfter(rest, "At Most ") + " values, not " + got;
        return text;
    }
    if (dynamic_cast<const CLI::ConversionError*>(&error)) {
        if (SplitName(text, name, rest) && (rest == "too many inputs for a flag" || rest == "Should be true/false or a number"))
            return name + " takes no value";
        if (text.rfind("Could not convert: ", 0) == 0) {
            const std::string pair = text.substr(19);
            const auto equals = pair.find(" = ");
            if (equals != std::string::npos)
                return pair.substr(0, equals) + ": \"" + pair.substr(equals + 3) + "\" is not a valid value";
        }
        return text;
    }
    if (dynamic_cast<const CLI::ExcludesError*>(&error)) {
        const auto at = text.find(" excludes ");
        if (at != std::string::npos) return text.substr(0, at) + " and " + text.substr(at + 10) + " cannot go together";
    }
    if (dynamic_cast<const CLI::RequiresError*>(&error)) {
        const auto at = text.find(" requires ");
        if (at != std::string::npos) return text.substr(0, at) + " needs " + text.substr(at + 10) + " too";
    }
    if (dynamic_cast<const CLI::ValidationError*>(&error) && SplitName(text, name, rest)) {
        // CLI::IsMember: "13CM not in {80CM,58CM}".
        const auto at = rest.find(" not in {");
        if (at != std::string::npos && EndsWith(rest, "}")) {
            std::string choices = rest.substr(at + 9, rest.size() - at - 10);
            for (std::size_t comma; (comma = choices.find(',')) != std::string::npos;) choices.replace(comma, 1, " or ");
            return name + ": \"" + rest.substr(0, at) + "\" is not " + choices;
        }
    }
    return text;
}

}  // namespace

const char* ProjectVersion() { return PROJECT_VERSION_TEXT; }

CLI::Validator Between(long low, long high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            if (ParseNumber(text, low, high)) return "";
            return "takes a number from " + std::to_string(low) + " to " + std::to_string(high) + ", not \"" + text +
                   "\"";
        },
        "");
}

CLI::Validator Ipv4Value() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return ParseIpv4(text) ? "" : "\"" + text + "\" is not a dotted address such as 192.168.0.1";
        },
        "");
}

CLI::Validator MacValue() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return ParseMac(text) ? "" : "\"" + text + "\" is not a MAC such as 00:1a:0b:ff:07:c0";
        },
        "");
}

protocol::Ipv4 Ipv4Of(const std::string& text) {
    const auto ip = ParseIpv4(text);
    if (!ip) throw UsageError("\"" + text + "\" is not a dotted address such as 192.168.0.1");
    return *ip;
}

protocol::Mac MacOf(const std::string& text) {
    const auto mac = ParseMac(text);
    if (!mac) throw UsageError("\"" + text + "\" is not a MAC such as 00:1a:0b:ff:07:c0");
    return *mac;
}

Program::Program(ProgramText text) : text_(std::move(text)), app_(text_.description, text_.name) {
    app_.formatter(std::make_shared<HelpFormatter>());
    app_.set_help_flag("-h,--help", "this help");
    app_.set_version_flag("--version", text_.name + " " + ProjectVersion(), "the program's version");
    // Options of the program may stand after the subcommand too.
    app_.fallthrough();
    app_.require_subcommand(0, 1);
    std::string footer = text_.notes;
    if (!footer.empty() && footer.back() != '\n') footer += '\n';
    app_.footer((footer.empty() ? "" : footer + "\n") + ExitCodeTable(text_.installExitCode));
}

void Program::Add(const std::vector<Subcommand>& table) {
    for (const Subcommand& entry : table) {
        CLI::App* command = app_.add_subcommand(entry.name, entry.summary);
        Runner run = entry.define(*command);
        std::string footer = entry.details;
        if (!footer.empty() && footer.back() != '\n') footer += '\n';
        command->footer(footer + (footer.empty() ? "" : "\n") + "Exit status: see '" + text_.name + " --help'.");
        runners_[command] = std::move(run);
        details_[command] = entry.details;
    }
    // "help [SUBCOMMAND]" stays the last entry of the list; Run answers it.
    for (CLI::App* old : app_.get_subcommands([](const CLI::App* c) { return c->get_name() == "help"; }))
        app_.remove_subcommand(old);
    CLI::App* help = app_.add_subcommand("help", "this help, or the help of SUBCOMMAND");
    help->add_option("SUBCOMMAND", *helpTopic_, "the subcommand to describe");
    help->footer("Exit status: see '" + text_.name + " --help'.");
}

const CLI::App* Program::Selected() const {
    const auto selected = app_.get_subcommands();
    return selected.empty() ? nullptr : selected.front();
}

std::string UsageLine(const CLI::App& command) { return Usage(command); }

int Program::ReportUsage(const std::string& what, const CLI::App* command, std::ostream& err) const {
    err << text_.name << ": " << what << '\n' << Usage(command ? *command : app_) << '\n';
    err.flush();
    return kUsage;
}

int Program::Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() == 1 && args[0] == "--man-page") {
        WriteManPage(out);
        return kDone;
    }
    if (args.size() == 1 && args[0] == "--bash-completion") {
        WriteBashCompletion(out);
        return kDone;
    }
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app_.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        out << app_.help();
        return kDone;
    } catch (const CLI::CallForAllHelp&) {
        out << app_.help("", CLI::AppFormatMode::All);
        return kDone;
    } catch (const CLI::CallForVersion& version) {
        out << version.what() << '\n';
        return kDone;
    } catch (const CLI::ExtrasError&) {
        const auto extras = app_.remaining(true);
        const std::string first = extras.empty() ? std::string() : extras.front();
        const CLI::App* command = Selected();
        if (first.size() > 1 && first[0] == '-') return ReportUsage("unknown option " + first, command, err);
        if (command == nullptr && !app_.get_subcommands({}).empty())
            return ReportUsage("unknown subcommand " + first, nullptr, err);
        std::string list;
        for (const std::string& extra : extras) list += " " + extra;
        return ReportUsage("unexpected argument" + std::string(extras.size() > 1 ? "s" : "") + ":" + list, command,
                           err);
    } catch (const CLI::ParseError& error) {
        return ReportUsage(Reworded(error), Selected(), err);
    }

    const CLI::App* command = Selected();
    if (command != nullptr && command->get_name() == "help") {
        if (helpTopic_->empty()) {
            out << app_.get_formatter()->make_help(&app_, text_.name, CLI::AppFormatMode::Normal);
            return kDone;
        }
        for (const CLI::App* topic : app_.get_subcommands({})) {
            if (topic->get_name() != *helpTopic_) continue;
            out << topic->help(text_.name);
            return kDone;
        }
        return ReportUsage("unknown subcommand " + *helpTopic_, command, err);
    }
    const Runner& run = command != nullptr ? runners_.at(command) : default_;
    if (!run) return ReportUsage("a subcommand is required", nullptr, err);
    try {
        return run();
    } catch (const UsageError& error) {
        return ReportUsage(error.what(), command, err);
    } catch (const Refusal& error) {
        err << text_.name << ": " << error.what() << '\n';
        err.flush();
        return kRefused;
    }
}

void Program::WriteManPage(std::ostream& out) const {
    const std::string& name = text_.name;
    out << ".\\\" Written by " << name << " --man-page from its command-line definitions.\n"
        << ".TH " << Upper(name) << " 1 \"\" \"" << name << " " << ProjectVersion() << "\" \"User Commands\"\n"
        << ".SH NAME\n"
        << Roff(name) << " \\- " << Roff(text_.whatis) << '\n'
        << ".SH SYNOPSIS\n";
    const auto commands = app_.get_subcommands({});
    if (commands.empty()) {
        out << ".B " << Roff(name) << "\n[\\fIOPTIONS\\fR]\n";
    } else {
        if (default_) out << ".B " << Roff(name) << "\n.br\n";
        out << ".B " << Roff(name) << "\n[\\fIOPTIONS\\fR] \\fISUBCOMMAND\\fR [\\fIARGUMENTS\\fR]\n";
    }
    out << ".SH DESCRIPTION\n";
    RoffText(out, text_.description);
    out << ".SH OPTIONS\n";
    RoffOptions(out, ShownOptions(app_, false));
    if (!commands.empty()) out << ".SH SUBCOMMANDS\n";
    for (const CLI::App* command : commands) {
        std::string usage = Usage(*command);
        const std::string prefix = "Usage: " + name + " [OPTIONS] ";
        if (usage.rfind(prefix, 0) == 0) usage = usage.substr(prefix.size());
        out << ".SS \"" << Roff(usage) << "\"\n";
        RoffText(out, command->get_description());
        RoffOptions(out, ShownOptions(*command, true));
        std::vector<const CLI::Option*> options = ShownOptions(*command, false);
        options.erase(std::remove(options.begin(), options.end(), command->get_help_ptr()), options.end());
        RoffOptions(out, options);
        const auto details = details_.find(command);
        if (details != details_.end() && !details->second.empty()) {
            out << ".PP\n";
            RoffText(out, details->second);
        }
    }
    if (!text_.notes.empty()) {
        out << ".SH NOTES\n";
        RoffText(out, text_.notes);
    }
    out << ".SH EXIT STATUS\n";
    for (const ExitCodeRow& row : ExitCodes(text_.installExitCode))
        out << ".TP\n.B " << row.code << '\n' << Roff(row.meaning) << '\n';
}

void Program::WriteBashCompletion(std::ostream& out) const {
    const std::string& name = text_.name;
    std::string function = "_" + name;
    std::replace(function.begin(), function.end(), '-', '_');
    std::vector<std::string> commandNames;
    std::vector<std::string> withValue = OptionWords(app_, true, false);
    std::vector<std::string> files = OptionWords(app_, true, true);
    for (const CLI::App* command : app_.get_subcommands({})) {
        commandNames.push_back(command->get_name());
        for (const std::string& word : OptionWords(*command, true, false)) withValue.push_back(word);
        for (const std::string& word : OptionWords(*command, true, true)) files.push_back(word);
    }
    const std::string globals = Words(OptionWords(app_, false, false));
    // After the subcommand: its own options and the program's, but for help and version.
    std::vector<std::string> after = OptionWords(app_, false, false);
    after.erase(std::remove_if(after.begin(), after.end(),
                               [](const std::string& w) { return w == "-h" || w == "--help" || w == "--version"; }),
                after.end());
    for (auto* list : {&withValue, &files}) {
        std::sort(list->begin(), list->end());
        list->erase(std::unique(list->begin(), list->end()), list->end());
    }
    out << "# bash completion for " << name << ", written by " << name << " --bash-completion\n"
        << function << "()\n{\n"
        << "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        << "    local with_value=\" " << Words(withValue) << " \" files=\" " << Words(files) << " \"\n"
        << "    local command= i\n"
        << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        << "        case ${COMP_WORDS[i]} in\n"
        << "            -*) [[ $with_value == *\" ${COMP_WORDS[i]} \"* ]] && ((i++)) ;;\n"
        << "            *) command=${COMP_WORDS[i]}; break ;;\n"
        << "        esac\n"
        << "    done\n"
        << "    if [[ $with_value == *\" $prev \"* ]]; then\n"
        << "        [[ $files == *\" $prev \"* ]] && COMPREPLY=($(compgen -f -- \"$cur\"))\n"
        << "        return\n"
        << "    fi\n"
        << "    local words\n"
        << "    case $command in\n"
        << "        '') words=\"" << globals << ' ' << Words(commandNames) << "\" ;;\n"
        << "        help) words=\"" << Words(commandNames) << "\" ;;\n";
    for (const CLI::App* command : app_.get_subcommands({})) {
        if (command->get_name() == "help") continue;
        out << "        " << command->get_name() << ") words=\"" << Words(OptionWords(*command, false, false)) << ' '
            << Words(after) << "\" ;;\n";
    }
    out << "        *) return ;;\n"
        << "    esac\n"
        << "    if [[ -z $command || $command == help || $cur == -* ]]; then\n"
        << "        COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
        << "    fi\n"
        << "}\n"
        << "complete -o bashdefault -o default -F " << function << ' ' << name << '\n';
}

std::string NameRunAs(const char* argv0) {
    const std::string path = argv0 ? argv0 : "";
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace cli
