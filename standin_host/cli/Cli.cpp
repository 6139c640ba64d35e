#include "standin_host/cli/Cli.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/Automation.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/Snapshot.h"
#include "standin_host/cli/WorkProgress.h"
#include "standin_host/connected/Synchroniser.h"
#include "standin_host/connected/Connected.h"

namespace nubra::cli {
namespace {

std::string Getenv(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

// A command of the table as the parser knows it, with the places the parser fills.
struct Bound {
    const CommandSpec* command = nullptr;  // null for the program itself
    CLI::App* app = nullptr;
    std::map<std::string, std::string> single;
    std::map<std::string, std::vector<std::string>> many;
    std::map<std::string, int64_t> flags;
    std::map<std::string, int32_t> integers;

    // What the user gave, by name.
    Args Given(const std::vector<OptionSpec>& options) const {
        Args args;
        for (const auto& o : options) {
            const bool given = app->get_option(o.name)->count() > 0;
            if (o.kind == OptionSpec::Kind::Flag) args.Set(o.name, {}, flags.at(o.name) > 0);
            else if (o.many) args.Set(o.name, many.at(o.name), given);
            else if (o.integer) args.Set(o.name, {given ? std::to_string(integers.at(o.name)) : o.defaultValue}, given);
            else args.Set(o.name, {given ? single.at(o.name) : o.defaultValue}, given);
        }
        return args;
    }
};

// Adds `options` to `app`, filling `bound`.
void AddOptions(CLI::App& app, const std::vector<OptionSpec>& options, Bound& bound) {
    for (const auto& o : options) {
        CLI::Option* option = nullptr;
        switch (o.kind) {
            case OptionSpec::Kind::Flag: option = app.add_flag(o.name, bound.flags[o.name], o.help); break;
            case OptionSpec::Kind::Positional:
            case OptionSpec::Kind::Value:
                option = o.many      ? app.add_option(o.name, bound.many[o.name], o.help)
                         : o.integer ? app.add_option(o.name, bound.integers[o.name], o.help)
                                     : app.add_option(o.name, bound.single[o.name], o.help);
                break;
        }
        if (o.required) option->required();
        if (!o.choices.empty()) option->check(CLI::IsMember(o.choices));
        if (o.maximum > o.minimum) option->check(CLI::Range(o.minimum, o.maximum));
    }
    for (const auto& o : options)
        for (const auto& other : o.excludes) app.get_option(o.name)->excludes(other);
}

// The optimal string alignment distance: how many letters to add, drop, change or swap.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// When the command words of `argv` name no command of the table: the refusal, naming the word
// and the nearest commands; "" when they do.
std::string UnknownCommand(int argc, char** argv) {
    std::string path;  // the command words so far ("" for the program)
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word.rfind("-", 0) == 0) {
            // A program option's value is no command word.
            for (const auto& o : Program().options)
                if (word == o.name && o.kind == OptionSpec::Kind::Value) ++i;
            continue;
        }
        std::vector<std::string> names;
        const CommandSpec* match = nullptr;
        for (const auto& c : CommandTable()) {
            const size_t cut = c.name.rfind(' ');
            const std::string parent = cut == std::string::npos ? std::string() : c.name.substr(0, cut);
            const std::string name = cut == std::string::npos ? c.name : c.name.substr(cut + 1);
            if (parent != path) continue;
            if (name == word) match = &c;
            if (!c.hidden) names.push_back(name);
        }
        if (match && !match->run) {
            path = match->name;  // a group: its command comes next
            continue;
        }
        if (match) return {};
        size_t best = std::string::npos;
        std::vector<std::string> nearest;
        for (const auto& name : names) {
            // Near enough: a letter or two off (one for short words), or the word begins the name.
            const size_t distance = name.rfind(word, 0) == 0 ? 0 : EditDistance(word, name);
            if (distance > (word.size() < 5 ? 1u : 2u)) continue;
            if (distance < best) nearest.clear();
            if (distance <= best) {
                best = distance;
                nearest.push_back("'" + (path.empty() ? name : path + " " + name) + "'");
            }
        }
        std::string refusal = "'" + word + "' is not a command" + (path.empty() ? "" : " of '" + path + "'");
        if (nearest.empty()) return refusal;
        refusal += "; did you mean ";
        for (size_t k = 0; k < nearest.size(); ++k) refusal += (k == 0 ? "" : k + 1 == nearest.size() ? " or " : ", ") + nearest[k];
        return refusal + "?";
    }
    return {};
}

int UsageError(const std::string& message) {
    std::cerr << "nubrasweep: " << message << "\n"
              << "Run 'nubrasweep --help' (or 'nubrasweep COMMAND --help') for usage.\n";
    return kExitUsage;
}

}  // namespace

std::filesystem::path DefaultProfileDir() {
    if (auto p = Getenv("NUBRA_PROFILE"); !p.empty()) return p;
    std::filesystem::path base;
    if (auto x = Getenv("XDG_DATA_HOME"); !x.empty()) base = x;
    else if (auto h = Getenv("HOME"); !h.empty()) base = std::filesystem::path(h) / ".local" / "share";
    else throw CommandError{"no profile folder: set NUBRA_PROFILE or HOME, or give --profile"};
    return base / "nubrasweep" / "profile";
}

int Main(int argc, char** argv) {
    OutputChannel output;
    const ProgramSpec& program = Program();
    CLI::App app{program.summary, program.name};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", program.version, "Print the version and exit");
    std::list<Bound> bound;  // the parser keeps pointers into it
    Bound& top = bound.emplace_back();
    top.app = &app;
    AddOptions(app, program.options, top);
    std::map<std::string, CLI::App*> apps{{"", &app}};
    for (const auto& command : CommandTable()) {
        const size_t cut = command.name.rfind(' ');
        CLI::App* parent = apps.at(cut == std::string::npos ? std::string() : command.name.substr(0, cut));
        Bound& b = bound.emplace_back();
        b.command = &command;
        b.app = parent->add_subcommand(cut == std::string::npos ? command.name : command.name.substr(cut + 1),
                                       command.summary);
        if (!command.run) b.app->require_subcommand(1);
        if (command.hidden) b.app->group("");
        AddOptions(*b.app, command.options, b);
        apps[command.name] = b.app;
    }

    const Bound* chosen = nullptr;
    Args args;
    try {
        app.parse(argc, argv);
        for (const auto& b : bound)
            if (b.command && b.command->run && b.app->parsed()) chosen = &b;
        if (!chosen) throw CLI::RequiredError("A command");
        args = chosen->Given(chosen->command->options);
        if (chosen->command->check)
            if (const std::string problem = chosen->command->check(args); !problem.empty())
                throw CLI::ValidationError(chosen->command->name, problem);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            // --help and --version: their text is the output, and must reach it.
            app.exit(e);
            try {
                CheckOutput();
            } catch (const CommandError& failure) {
                PrintError(failure.message);
                return kExitFailure;
            }
            return kExitOk;
        }
        const std::string unknown = UnknownCommand(argc, argv);
        return UsageError(unknown.empty() ? e.what() : unknown);
    }

    try {
        ClearDeadSnapshots();
        // Profiles may hold Maildir trees and IMAP accounts, whatever the command.
        connected::RegisterConnectedStores();
        const auto showSync = ShowSynchronisations();
        const Args programArgs = top.Given(program.options);
        const std::string profileDir = programArgs.Value("--profile");
        Invocation invocation(args, profileDir.empty() ? DefaultProfileDir() : std::filesystem::path(profileDir), argc,
                              argv);
        const int rc = chosen->command->run(invocation);
        CheckOutput();
        return rc;
    } catch (const CommandError& e) {
        PrintError(e.message);
        return kExitFailure;
    } catch (const AutomationError& e) {
        PrintError(e.Description().empty() ? "error " + std::to_string(e.Number()) : e.Description());
        return kExitFailure;
    } catch (const std::exception& e) {
        PrintError(e.what());
        return kExitFailure;
    }
}

}  // namespace nubra::cli
