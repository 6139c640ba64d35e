// What installing gives, checked as a user meets it: a manual page and completions naming every
// command and option of the command table, bash completing a folder path of the profile with
// its backslashes and spaces, and an installed program (in a prefix that moves) registering its
// own add-in module, never the build tree's.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "standin_host/NubraVersion.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/docgen/DocGen.h"
#include "tests/cli/CliFixture.h"

namespace nubra::clitest {
namespace {

namespace fs = std::filesystem;
using cli::OptionSpec;

const fs::path kGenerated = NUBRA_GENERATED_DIR;

// A name as the pages print it in bold: every dash a minus sign.
std::string RoffBold(const std::string& name) {
    std::string out = "\\fB";
    for (const char c : name) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out + "\\fR";
}

// Runs `command` in a shell: what it prints on standard output, and its exit status.
Result Shell(const std::string& command) {
    Result r;
    std::FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int status = ::pclose(p);
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(GeneratedDocs, NameEveryCommandAndOptionOfTheTable) {
    const auto& program = cli::Program();
    const auto commands = cli::docgen::VisibleCommands(cli::CommandTable());
    const std::string programPage = testing::ReadFile(kGenerated / "man/man1/nubrasweep.1");
    const std::string bash = testing::ReadFile(kGenerated / "bash-completion/completions/nubrasweep");
    const std::string zsh = testing::ReadFile(kGenerated / "zsh/site-functions/_nubrasweep");
    const std::string fish = testing::ReadFile(kGenerated / "fish/vendor_completions.d/nubrasweep.fish");
    ASSERT_FALSE(programPage.empty());
    EXPECT_NE(programPage.find("\"nubrasweep " NUBRA_VERSION_TEXT "\" \"User Commands\""), std::string::npos) << "the page's version";
    for (const auto* section : {".SH ENVIRONMENT", ".SH FILES", ".SH EXIT STATUS", ".SH EXAMPLES"})
        EXPECT_NE(programPage.find(section), std::string::npos) << section;
    for (const auto& o : program.options) EXPECT_NE(programPage.find(RoffBold(o.name)), std::string::npos) << o.name;

    std::set<std::string> pages{"nubrasweep.1"};
    for (const auto* c : commands) {
        SCOPED_TRACE(c->name);
        const std::string name = cli::docgen::PageName(program, *c) + ".1";
        pages.insert(name);
        const std::string page = testing::ReadFile(kGenerated / "man/man1" / name);
        ASSERT_FALSE(page.empty()) << "no page " << name;
        EXPECT_NE(programPage.find(".BR " + cli::docgen::PageName(program, *c) + " (1)"), std::string::npos);
        // The command's words follow its parent's in every shell's data.
        const std::string last = c->name.substr(c->name.rfind(' ') + 1);
        const std::regex bashSubs("_nubrasweep_subs=\\([^)]*\\b" + last + "\\b");
        EXPECT_TRUE(std::regex_search(bash, bashSubs)) << "bash lacks " << last;
        EXPECT_EQ(zsh.find(bash.substr(bash.find("_nubrasweep_command() {"), 200)), zsh.find("_nubrasweep_command() {"));
        EXPECT_NE(fish.find("case '" + c->name + "'"), std::string::npos) << "fish lacks " << c->name;
        for (const auto& o : c->options) {
            SCOPED_TRACE(o.name);
            if (o.kind == OptionSpec::Kind::Positional) {
                EXPECT_NE(page.find("\\fI" + o.name + "\\fR"), std::string::npos);
                continue;
            }
            EXPECT_NE(page.find(RoffBold(o.name)), std::string::npos);
            for (const auto& choice : o.choices) EXPECT_NE(page.find(choice), std::string::npos) << choice;
            const std::string word = o.name + (o.kind == OptionSpec::Kind::Value ? "=" : "");
            const std::string shWord = c->name.find(' ') == std::string::npos ? c->name : "'" + c->name + "'";
            const auto entry = bash.find("        " + shWord + ")\n");
            ASSERT_NE(entry, std::string::npos);
            const auto opts = bash.find("_nubrasweep_opts=(", entry);
            EXPECT_NE(bash.substr(opts, bash.find(')', opts) - opts).find(word), std::string::npos) << "bash";
            EXPECT_NE(fish.find("'" + word + "'", fish.find("case '" + c->name + "'")), std::string::npos) << "fish";
        }
    }
    // No page is left of a command that is no longer in the table.
    std::set<std::string> made;
    for (const auto& e : fs::directory_iterator(kGenerated / "man/man1")) made.insert(e.path().filename().string());
    EXPECT_EQ(made, pages);
}

// bash's completion of the installed script, driven as bash drives it (COMP_LINE, COMP_POINT,
// COMP_WORDS, COMP_CWORD), over a profile whose folder and store names have spaces.
class BashCompletion : public Cli {};

TEST_F(BashCompletion, CompletesCommandsOptionValuesAndFolderPaths) {
    if (Shell("command -v bash").exit != 0) GTEST_SKIP() << "no bash";
    MustRun({"mkdir", "Personal Folders\\In Progress", "--type", "mail"});
    MustRun({"mkdir", "Personal Folders\\Inbox\\Old's", "--type", "mail"});
    MustRun({"store", "add", "Archive Box.nbst", "--name", "Archive Box"});
    const std::string bin = Quote(NUBRASWEEP_BINARY);
    const std::string profile = Quote(Profile());
    // The line typed so far (the cursor at its end), and what bash is offered.
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {bin + " cl", {"clean"}},
        {bin + " store add-", {"add-maildir", "add-imap", "add-vdir", "add-dav"}},
        {bin + " export --for", {"--format"}},
        {bin + " export --format m", {"mbox", "maildir"}},
        {bin + " export --format=m", {"mbox", "maildir"}},
        {bin + " mkdir X --type ", {"appointment", "contact", "journal", "mail", "note", "post", "task"}},
        {bin + " --profile " + profile + " clean 'Personal Folders\\In",
         {"Personal Folders\\Inbox", "Personal Folders\\In Progress"}},
        {bin + " --profile=" + profile + " list Personal\\ Folders\\\\In\\ ", {"Personal Folders\\In Progress"}},
        {bin + " --profile " + profile + " export \"Personal Folders\\Inbox\\", {"Personal Folders\\Inbox\\Old's"}},
        {bin + " --profile " + profile + " import Arch", {"Archive Box"}},
        {bin + " --profile " + profile + " store remove A", {"Archive Box"}},
        {bin + " --profile " + profile + " store rename P", {"Personal Folders"}},
    };
    std::string script = "source " + Quote((kGenerated / "bash-completion/completions/nubrasweep").string()) +
                         "\ncomplete -p nubrasweep\n"
                         "while IFS= read -r COMP_LINE; do\n"
                         "  COMP_POINT=${#COMP_LINE}\n"
                         "  read -ra COMP_WORDS <<< \"$COMP_LINE\"\n"
                         "  [[ $COMP_LINE == *' ' ]] && COMP_WORDS+=('')\n"
                         "  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n"
                         "  _nubrasweep nubrasweep \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"\n"
                         "  printf '[%s]' \"${COMPREPLY[@]}\"; echo\n"
                         "done\n";
    std::string lines;
    for (const auto& c : cases) lines += c.first + "\n";
    const std::string scriptFile = WriteFile("drive.bash", script);
    const std::string input = WriteFile("lines.txt", lines);
    const Result r = Shell("env XDG_CONFIG_HOME=" + Quote((dir.path() / "config").string()) +
                           " XDG_STATE_HOME=" + Quote((dir.path() / "state").string()) + " XDG_CACHE_HOME=" +
                           Quote((dir.path() / "cache").string()) + " bash --norc --noprofile " + Quote(scriptFile) +
                           " < " + Quote(input));
    ASSERT_EQ(r.exit, 0) << r.out;
    const auto out = Lines(r.out);
    ASSERT_EQ(out.size(), cases.size() + 1) << r.out;
    EXPECT_EQ(out[0], "complete -F _nubrasweep nubrasweep");
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string want;
        for (const auto& w : cases[i].second) want += "[" + w + "]";
        EXPECT_EQ(out[i + 1], want) << cases[i].first;
    }
}

// fish asked for its candidates (complete -C) over the same kind of profile: the words it
// walks name the command, and the typed path is taken unquoted.
TEST_F(BashCompletion, FishOffersStoresAndFolderPathsToo) {
    if (Shell("command -v fish").exit != 0) GTEST_SKIP() << "no fish";
    MustRun({"mkdir", "Personal Folders\\In Progress", "--type", "mail"});
    const std::string line = "nubrasweep --profile " + Quote(Profile());
    // What is typed after the program, as fish's own string (\\ is one backslash), and the
    // candidates.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {" store remove P", "Personal Folders\n"},
        {" clean 'Personal Folders\\\\In", "Personal Folders\\In Progress\nPersonal Folders\\Inbox\n"},
        {" clean Personal\\ Folders\\\\\\\\In\\ ", "Personal Folders\\In Progress\n"},
        {" export --format=m", "--format=maildir\n--format=mbox\n"},
    };
    for (const auto& [typed, offered] : cases) {
        const std::string script = WriteFile(
            "drive.fish", "source " + Quote((kGenerated / "fish/vendor_completions.d/nubrasweep.fish").string()) +
                              "\ncomplete -C " + Quote(line + typed) + "\n");
        const Result r = Shell("env XDG_CACHE_HOME=" + Quote((dir.path() / "cache").string()) + " PATH=" +
                               Quote(fs::path(NUBRASWEEP_BINARY).parent_path().string()) + ":\"$PATH\" fish --no-config " +
                               Quote(script));
        EXPECT_EQ(r.out, offered) << typed;
    }
}

// The installed program, staged with DESTDIR as a package is and then moved elsewhere: it
// registers the module beside it (and its version), and registers again from the new place,
// though the build tree and its module are still there.
class InstalledProgram : public Cli {
protected:
    Result RunInstalled(const fs::path& root, const std::vector<std::string>& args) {
        std::string cmd = "env XDG_CONFIG_HOME=" + Quote((dir.path() / "config").string()) + " XDG_STATE_HOME=" +
                          Quote((dir.path() / "state").string()) + " XDG_CACHE_HOME=" +
                          Quote((dir.path() / "cache").string()) + " NUBRA_COMMON_APPDATA=" + Quote(dir.str()) + " " +
                          Quote((root / "usr/bin/nubrasweep").string()) + " --profile " + Quote(Profile());
        for (const auto& a : args) cmd += " " + Quote(a);
        return Shell(cmd);
    }
    std::string Registry() { return testing::ReadFile(dir.path() / "config/nubrasweep/registry.reg"); }
};

TEST_F(InstalledProgram, ProgramRegistersTheModuleBesideItWhereverItsPrefixMoves) {
    const fs::path staged = dir.path() / "staged";
    const Result install = Shell("env DESTDIR=" + Quote(staged.string()) + " " + Quote(NUBRA_CMAKE) + " --install " +
                                 Quote(NUBRA_BUILD_DIR) + " --prefix /usr");
    ASSERT_EQ(install.exit, 0) << install.out;
    for (const auto* file : {"usr/bin/nubrasweep", "usr/lib/nubrasweep/libNubra.so", "usr/share/man/man1/nubrasweep.1.gz",
                             "usr/share/bash-completion/completions/nubrasweep"})
        EXPECT_TRUE(fs::exists(staged / file)) << file;
    EXPECT_FALSE(fs::exists(staged / "usr/bin/Nubra_help.htm"));

    Result version = RunInstalled(staged, {"--version"});
    EXPECT_EQ(version.out, "nubrasweep " NUBRA_VERSION_TEXT "\n");
    ASSERT_EQ(RunInstalled(staged, {"register"}).exit, 0);
    const std::string escaped = std::regex_replace((staged / "usr/lib/nubrasweep/libNubra.so").string(),
                                                   std::regex(R"([\\"])"), "\\$&");
    EXPECT_NE(Registry().find(escaped), std::string::npos) << Registry();
    EXPECT_NE(Registry().find("\"Version\"=\"" NUBRA_VERSION_TEXT "\""), std::string::npos) << Registry();

    // The whole prefix moves; the next clean registers the module of its new place.
    const fs::path moved = dir.path() / "moved";
    fs::rename(staged, moved);
    const Result clean = RunInstalled(moved, {"clean", "--all"});
    EXPECT_EQ(clean.exit, 0) << clean.out;
    EXPECT_NE(Registry().find((moved / "usr/lib/nubrasweep/libNubra.so").string()), std::string::npos) << Registry();
    EXPECT_EQ(Registry().find((staged / "usr").string()), std::string::npos) << Registry();
    EXPECT_EQ(Registry().find(NUBRA_BUILD_DIR), std::string::npos) << Registry();
}

}  // namespace
}  // namespace nubra::clitest
