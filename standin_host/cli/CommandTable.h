// The command line as data: every command's words, summary, arguments and options (with their
// help texts and allowed values) and the function that runs it. The parser is built by walking
// this table, and so can manual pages and shell completions be; a new command is a file of its
// own under commands/ and a line in the table (CommandTable.cpp).
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace nubra::store {
class Profile;
}

namespace nubra::cli {

struct OptionSpec {
    enum class Kind {
        Positional,  // NAME: an argument in its place
        Value,       // --name VALUE
        Flag,        // --name
    };
    // What a value names, for the shell completions: a folder of the profile (a path as
    // FindFolder takes it), a store of the profile, a file, a folder of the file system; Text for
    // anything else (or one of `choices`).
    enum class Names { Text, Folder, Store, File, Directory };
    Kind kind = Kind::Value;
    std::string name = {};  // "FILE" for an argument, "--name" for an option
    std::string help = {};
    bool required = false;
    bool many = false;                  // an argument taking every remaining word
    std::vector<std::string> choices = {};   // the values allowed; empty: any
    bool integer = false;               // the value must be a whole number (32 bits)
    int minimum = 0, maximum = 0;       // a whole number's range, when maximum > minimum
    std::string defaultValue = {};           // the value when not given (not shown in the help)
    std::vector<std::string> excludes = {};  // options of the same command it cannot come with
    Names names = Names::Text;
};

// What the user gave: the values of the arguments and options by name.
class Args {
public:
    // The value of an argument or option ("" when not given and without default).
    std::string Value(const std::string& name) const;
    // Every value of an argument that takes several.
    const std::vector<std::string>& Values(const std::string& name) const;
    // True when the option was given (for a flag: it is on).
    bool Given(const std::string& name) const;
    bool Flag(const std::string& name) const { return Given(name); }

    void Set(const std::string& name, std::vector<std::string> values, bool given);

private:
    std::map<std::string, std::vector<std::string>> values_;
    std::map<std::string, bool> given_;
};

// How a command opens the profile.
enum class Opening {
    ReadWrite,
    ReadOnly,  // for commands that only read: works on a profile this user may only read
    // Read-write where this user may write to it (connected stores are synchronised, an older
    // store format is upgraded), else read-only.
    ReadWriteElseReadOnly,
    // Read-write for removal runs: a connected store is synchronised when a run takes one of
    // its folders, not also when the profile opens.
    ForRuns,
};

// One run of a command: what was given, and the profile it works on.
class Invocation {
public:
    Invocation(const Args& args, std::filesystem::path profileDir, int argc, char** argv);
    ~Invocation();
    Invocation(const Invocation&) = delete;
    Invocation& operator=(const Invocation&) = delete;

    const Args& args;
    // The program's own arguments, for the window system.
    int argc;
    char** argv;

    // The profile, opened on first use as `opening` says (the first opening holds for the
    // rest of the command); a profile that does not exist yet is made, whatever the command.
    // Warnings of the opening are printed. Raises what store::Profile::Open raises.
    std::shared_ptr<store::Profile> Profile(Opening opening = Opening::ReadWrite);
    const std::filesystem::path& ProfileDir() const { return dir_; }

private:
    std::filesystem::path dir_;
    std::shared_ptr<store::Profile> profile_;
};

struct CommandSpec {
    std::string name = {};  // the words that call it: "clean", "store add"
    std::string summary = {};
    std::vector<OptionSpec> options = {};
    // Runs the command and returns the exit code; raises CommandError or AutomationError for
    // a failure (one line, exit 1). Null for a group ("store"), which takes one of its
    // commands.
    std::function<int(Invocation&)> run = nullptr;
    // A usage problem the options alone cannot show (which of several were given): its text,
    // "" when there is none. Reported as a usage error before anything runs.
    std::string (*check)(const Args&) = nullptr;
    // Left out of the help, the manual pages, the completions and the suggestions for a
    // mistyped command: a helper the shell completions call.
    bool hidden = false;
};

struct ProgramSpec {
    std::string name = {};
    std::string summary = {};
    std::string version = {};  // what --version prints
    std::vector<OptionSpec> options = {};  // before or after the command
};

const ProgramSpec& Program();
// Every command in the order the help lists them; a group comes before its commands.
const std::vector<CommandSpec>& CommandTable();

}  // namespace nubra::cli
