#include <algorithm>
#include <cctype>
#include <string_view>

#include "standin_host/cli/docgen/DocGen.h"

namespace nubra::cli::docgen {
namespace {

// `text` as roff running text: a backslash as \e, the dashes of option names (-h, --name) as
// minus signs, and a line that would begin with a control character (. or ') kept text.
std::string Roff(std::string_view text) {
    std::string out;
    bool lineStart = true;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        lineStart = c == '\n';
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            // A dash that begins an option, or is one of its two: a minus sign, not a hyphen.
            const bool begins = i == 0 || std::isspace(static_cast<unsigned char>(text[i - 1])) || text[i - 1] == '(' ||
                                text[i - 1] == '-' || text[i - 1] == '\'';
            const bool before = i + 1 < text.size() && (text[i + 1] == '-' || std::isalpha(static_cast<unsigned char>(text[i + 1])));
            out += begins && before ? "\\-" : "-";
        } else {
            out += c;
        }
    }
    return out;
}

// A name as typed (a command, an option): bold, every dash a minus sign.
std::string Bold(std::string_view name) {
    std::string out = "\\fB";
    for (const char c : name) out += c == '-' ? std::string("\\-") : c == '\\' ? std::string("\\e") : std::string(1, c);
    return out + "\\fR";
}

std::string Italic(std::string_view text) { return "\\fI" + Roff(text) + "\\fR"; }

// The first clause of a summary, for the page's NAME line (which `whatis` shows).
std::string Headline(const std::string& summary) {
    size_t cut = summary.size();
    for (const char* stop : {": ", ". ", "\n"})
        if (const size_t at = summary.find(stop); at != std::string::npos && at < cut) cut = at;
    std::string line = summary.substr(0, cut);
    if (!line.empty()) line[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(line[0])));
    return line;
}

// "--format eml|mbox|maildir", "--recursive", "PATH".
std::string Usage(const OptionSpec& o) {
    if (o.kind == OptionSpec::Kind::Positional) return Italic(o.name) + (o.many ? "\\ ..." : "");
    if (o.kind == OptionSpec::Kind::Flag) return Bold(o.name);
    return Bold(o.name) + " " + Italic(ValueName(o));
}

// The synopsis line of a command: "nubrasweep [--profile DIR] clean [--key KEY] ... [PATH]".
std::string Synopsis(const ProgramSpec& program, const CommandSpec& command) {
    std::string line = Bold(program.name);
    for (const auto& o : program.options) line += " [" + Usage(o) + "]";
    line += " " + Bold(command.name);
    if (!command.run) {
        line += " " + Italic("COMMAND") + " ...";
        return line;
    }
    for (const auto& o : command.options) {
        if (o.kind == OptionSpec::Kind::Positional) continue;
        line += " " + std::string(o.required ? "" : "[") + Usage(o) + (o.required ? "" : "]");
    }
    for (const auto& o : command.options) {
        if (o.kind != OptionSpec::Kind::Positional) continue;
        line += " " + std::string(o.required ? "" : "[") + Usage(o) + (o.required ? "" : "]");
    }
    return line;
}

// What the table says of an option beyond its help text: its values, default, range and the
// options it cannot come with.
std::string Details(const OptionSpec& o) {
    std::string text = o.help;
    if (!text.empty() && text.back() != '.') text += ".";
    if (!o.choices.empty()) {
        text += " One of:";
        for (size_t i = 0; i < o.choices.size(); ++i) text += (i ? ", " : " ") + o.choices[i];
        text += ".";
    }
    if (!o.defaultValue.empty()) text += " Default: " + o.defaultValue + ".";
    if (o.integer) {
        text += " A whole number";
        if (o.maximum > o.minimum) text += " from " + std::to_string(o.minimum) + " to " + std::to_string(o.maximum);
        text += ".";
    }
    if (o.required && o.kind != OptionSpec::Kind::Positional) text += " Required.";
    for (const auto& other : o.excludes) text += " Not with " + other + ".";
    return Roff(text);
}

std::string Header(const std::string& page, const ProgramSpec& program) {
    std::string upper;
    for (const char c : page) upper += c == '-' ? std::string("\\-") : std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    return ".\\\" Made from the command table of " + program.name + " when it was built; do not edit.\n"
           ".TH " + upper + " 1 \"\" \"" + Roff(program.version) + "\" \"User Commands\"\n";
}

std::string ExitStatus() {
    return ".SH EXIT STATUS\n"
           ".TP\n.B 0\nSuccess.\n"
           ".TP\n.B 1\nFailure; one line on standard error says what failed.\n"
           ".TP\n.B 2\nA usage error: an unknown command (named with the nearest ones) or option, a value not "
           "allowed.\n"
           ".TP\n.B 130\nA run stopped by Ctrl\\-C (after the folder it was cleaning).\n";
}

const char* kSeeAlsoMain = ".SH SEE ALSO\n.BR nubrasweep (1)\n";

// A command's own page.
std::string CommandPage(const ProgramSpec& program, const CommandSpec& command, const std::vector<CommandSpec>& table) {
    const std::string page = PageName(program, command);
    std::string text = Header(page, program);
    text += ".SH NAME\n" + Roff(page) + " \\- " + Roff(Headline(command.summary)) + "\n";
    text += ".SH SYNOPSIS\n" + Synopsis(program, command) + "\n";
    text += ".SH DESCRIPTION\n" + Roff(command.summary) + (command.summary.ends_with(".") ? "" : ".") + "\n";
    if (!command.run) {
        text += ".SH COMMANDS\n";
        for (const auto* c : VisibleCommands(table)) {
            if (c->name.rfind(command.name + " ", 0) != 0) continue;
            text += ".TP\n" + Bold(c->name) + "\n" + Roff(c->summary) + "; see\n.BR " + PageName(program, *c) + " (1).\n";
        }
    }
    bool any = false;
    for (const auto& o : command.options) {
        if (o.kind != OptionSpec::Kind::Positional) continue;
        if (!any) text += ".SH ARGUMENTS\n";
        any = true;
        text += ".TP\n" + Usage(o) + "\n" + Details(o) + "\n";
    }
    text += ".SH OPTIONS\n";
    for (const auto& o : command.options) {
        if (o.kind == OptionSpec::Kind::Positional) continue;
        text += ".TP\n" + Usage(o) + "\n" + Details(o) + "\n";
    }
    for (const auto& o : program.options) text += ".TP\n" + Usage(o) + "\n" + Details(o) + "\n";
    text += ".TP\n" + Bold("-h") + ", " + Bold("--help") + "\nPrint the command's help and exit.\n";
    text += ExitStatus();
    text += kSeeAlsoMain;
    return text;
}

// Where things live and what the environment changes, for the program's page.
struct Entry {
    const char* name;
    const char* text;
};
constexpr Entry kEnvironment[] = {
    {"NUBRA_PROFILE", "The profile folder when --profile is not given."},
    {"XDG_DATA_HOME", "Holds the default profile (nubrasweep/profile) and, when the common folder cannot be used, the "
                      "log (Nubra/Nubra.log); default ~/.local/share."},
    {"XDG_CONFIG_HOME", "Holds the add-in's registration (nubrasweep/registry.reg); default ~/.config."},
    {"XDG_STATE_HOME", "Holds the history of removal runs (nubrasweep/history-*.sqlite); default ~/.local/state."},
    {"XDG_CACHE_HOME", "Holds dry-run snapshots, the last dry run's log and the caches of connected stores "
                       "(nubrasweep/); default ~/.cache."},
    {"NUBRA_COMMON_APPDATA", "The common folder of the log (Nubra/Nubra.log), used when it is writable; default /var/lib."},
    {"NUBRA_IMAP_PASSWORD", "The password of the profile's IMAP account, taken only while the profile holds one IMAP "
                            "account."},
    {"NUBRA_IMAP_TIMEOUT", "Seconds an IMAP server's answer may go without progress, for one run."},
    {"NUBRA_DAV_PASSWORD", "The password of the profile's CardDAV/CalDAV account, taken only while the profile holds "
                           "one such account."},
    {"NUBRA_DAV_TIMEOUT", "Seconds a CardDAV/CalDAV server's answer may go without progress, for one run."},
    {"NUBRA_MODULE", "The add-in module to register and load instead of the installed one."},
    {"NUBRA_HOST_VERSION", "The client version the add-in is told."},
    {"LC_ALL, LC_TIME, LANG", "The regional settings: date formats in the log and in the logical IDs of items."},
    {"TZ", "The time zone."},
};
constexpr Entry kFiles[] = {
    {"$XDG_DATA_HOME/nubrasweep/profile/", "The default profile: profile.json and the store files (*.nbst)."},
    {"$XDG_CONFIG_HOME/nubrasweep/registry.reg", "The add-in's registration for this user."},
    {"$XDG_STATE_HOME/nubrasweep/history-*.sqlite", "The history of removal runs, one file per profile."},
    {"$XDG_CACHE_HOME/nubrasweep/", "Dry-run snapshots (removed after the run, a killed run's at the next start), the "
                                    "last dry run's log, and the caches of connected stores."},
    {"$NUBRA_COMMON_APPDATA/Nubra/Nubra.log", "The log, when that folder is writable; else $XDG_DATA_HOME/Nubra/Nubra.log."},
    {"PREFIX/lib/nubrasweep/libNubra.so", "The add-in module, found from the program's own folder (PREFIX/bin), with "
                                          "its help page Nubra_help.htm."},
};
constexpr Entry kExamples[] = {
    {"nubrasweep import 'Personal Folders\\Inbox' ~/mail/archive.mbox", "Import a mailbox into the Inbox."},
    {"nubrasweep clean 'Personal Folders\\Inbox' --dry-run", "Show what a clean of the Inbox would remove."},
    {"nubrasweep clean --all", "Clean every folder the tree shows."},
    {"nubrasweep history", "List the runs so far."},
    {"nubrasweep restore --last", "Move every item the last run removed back."},
    {"nubrasweep store add-maildir ~/Maildir", "Clean a Maildir in place from now on."},
    {"nubrasweep store add-dav https://me@dav.example.org/", "Clean an account's address books and calendars on "
                                                            "its server."},
};

std::string EntryList(const char* title, const Entry* entries, size_t count, bool codeNames) {
    std::string text = ".SH " + std::string(title) + "\n";
    for (size_t i = 0; i < count; ++i)
        text += ".TP\n" + (codeNames ? Bold(entries[i].name) : Italic(entries[i].name)) + "\n" + Roff(entries[i].text) + "\n";
    return text;
}

std::string ProgramPage(const ProgramSpec& program, const std::vector<CommandSpec>& table) {
    std::string text = Header(program.name, program);
    text += ".SH NAME\n" + Roff(program.name) + " \\- " + Roff(Headline(program.summary)) + "\n";
    text += ".SH SYNOPSIS\n" + Bold(program.name);
    for (const auto& o : program.options) text += " [" + Usage(o) + "]";
    text += " " + Italic("COMMAND") + " [" + Italic("ARGUMENTS") + "]\n.br\n" + Bold(program.name) + " " +
            Bold("--help") + "\n.br\n" + Bold(program.name) + " " + Bold("--version") + "\n";
    text += ".SH DESCRIPTION\n";
    std::string summary = program.summary;
    // A paragraph per line of the summary.
    std::string paragraphs;
    for (size_t from = 0; from <= summary.size();) {
        const size_t end = std::min(summary.find('\n', from), summary.size());
        paragraphs += (from ? ".PP\n" : "") + Roff(summary.substr(from, end - from)) + "\n";
        from = end + 1;
    }
    text += paragraphs;
    text += ".PP\nDuplicates are moved into a subfolder Nubra_Duplicate_Items of the cleaned folder (notes, which "
            "cannot be moved, go to the store's Deleted Items), so nothing is lost; every run is recorded in the "
            "history, from which " + Bold("restore") + " moves its items back.\n";
    text += ".SH COMMANDS\n";
    for (const auto* c : VisibleCommands(table)) {
        std::string usage = Bold(c->name);
        for (const auto& o : c->options)
            if (o.kind == OptionSpec::Kind::Positional) usage += " " + Italic(o.name) + (o.many ? "\\ ..." : "");
        text += ".TP\n" + usage + "\n" + Roff(c->summary) + (c->summary.ends_with(".") ? "" : ".") + " See\n.BR " +
                PageName(program, *c) + " (1).\n";
    }
    text += ".SH OPTIONS\nThese come before or after the command.\n";
    for (const auto& o : program.options) text += ".TP\n" + Usage(o) + "\n" + Details(o) + "\n";
    text += ".TP\n" + Bold("-h") + ", " + Bold("--help") + "\nPrint the help (of the command, after one) and exit.\n";
    text += ".TP\n" + Bold("--version") + "\nPrint the version and exit.\n";
    text += EntryList("ENVIRONMENT", kEnvironment, std::size(kEnvironment), true);
    text += EntryList("FILES", kFiles, std::size(kFiles), false);
    text += ExitStatus();
    text += ".SH EXAMPLES\n";
    for (const auto& e : kExamples) text += ".PP\n" + Roff(e.text) + "\n.PP\n.RS\n.nf\n" + Roff(e.name) + "\n.fi\n.RE\n";
    text += ".SH SEE ALSO\n";
    const auto commands = VisibleCommands(table);
    for (size_t i = 0; i < commands.size(); ++i)
        text += ".BR " + PageName(program, *commands[i]) + " (1)" + (i + 1 < commands.size() ? "," : "") + "\n";
    return text;
}

}  // namespace

std::string PageName(const ProgramSpec& program, const CommandSpec& command) {
    std::string name = program.name + "-" + command.name;
    for (auto& c : name)
        if (c == ' ') c = '-';
    return name;
}

std::string ValueName(const OptionSpec& o) {
    if (o.kind == OptionSpec::Kind::Positional) return o.name;
    if (!o.choices.empty()) {
        std::string text;
        for (const auto& c : o.choices) text += (text.empty() ? "" : "|") + c;
        return text;
    }
    switch (o.names) {
        case OptionSpec::Names::Folder: return "PATH";
        case OptionSpec::Names::Store: return "STORE";
        case OptionSpec::Names::File: return "FILE";
        case OptionSpec::Names::Directory: return "DIR";
        case OptionSpec::Names::Text: break;
    }
    if (o.integer) return "N";
    std::string name;
    for (const char c : o.name.substr(o.name.find_first_not_of('-')))
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

std::vector<const CommandSpec*> VisibleCommands(const std::vector<CommandSpec>& table) {
    std::vector<const CommandSpec*> commands;
    for (const auto& c : table)
        if (!c.hidden) commands.push_back(&c);
    return commands;
}

std::vector<GeneratedFile> ManPages(const ProgramSpec& program, const std::vector<CommandSpec>& table) {
    std::vector<GeneratedFile> pages{{"man/man1/" + program.name + ".1", ProgramPage(program, table)}};
    for (const auto* c : VisibleCommands(table))
        pages.push_back({"man/man1/" + PageName(program, *c) + ".1", CommandPage(program, *c, table)});
    return pages;
}

}  // namespace nubra::cli::docgen
