// Runs the nubrasweep program as a user does and checks what it prints and returns.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "standin_host/store/Profile.h"
#include "standin_host/store/RunLock.h"
#include "tests/cli/CliFixture.h"
#include "tests/support/TestEnv.h"

namespace nubra {
namespace {

using clitest::Cli;
using clitest::Lines;
using clitest::Result;

TEST_F(Cli, HelpAndUsageErrors) {
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{"--help"}, 0},
        {{"stores", "--help"}, 0},
        {{"store", "add", "--help"}, 0},
        {{"mkdir", "--help"}, 0},
        {{"tree", "--help"}, 0},
        {{"import", "--help"}, 0},
        {{"list", "--help"}, 0},
        {{"clean", "--help"}, 0},
        {{}, 2},
        {{"frobnicate"}, 2},
        {{"list"}, 2},
        {{"import", "Personal Folders\\Inbox"}, 2},
        {{"mkdir", "Personal Folders\\X", "--type", "letters"}, 2},
        {{"store"}, 2},
        {{"clean"}, 2},
        {{"clean", "Personal Folders\\Inbox", "--key", "Inbox_2"}, 2},
        {{"list", "Personal Folders\\Inbox", "--bogus"}, 2},
    };
    for (const auto& [args, code] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        Result r = Run(args);
        EXPECT_EQ(r.exit, code) << r.err;
        if (code == 0) {
            EXPECT_NE(r.out.find("Usage"), std::string::npos);
        } else {
            EXPECT_FALSE(r.err.empty());
        }
    }
    // Asking for help or making a usage error leaves no profile behind.
    EXPECT_FALSE(std::filesystem::exists(Profile()));
}

TEST_F(Cli, AMistypedCommandIsNamedWithTheNearestOnes) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"cleen", "--all"}, "'cleen' is not a command; did you mean 'clean'?"},
        {{"stors"}, "'stors' is not a command; did you mean 'stores' or 'store'?"},
        {{"--profile", "elsewhere", "hsitory"}, "'hsitory' is not a command; did you mean 'history'?"},
        {{"store", "remov", "Archive"}, "'remov' is not a command of 'store'; did you mean 'store remove'?"},
        {{"frobnicate"}, "'frobnicate' is not a command\n"},
    };
    for (const auto& [args, said] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        Result r = Run(args);
        EXPECT_EQ(r.exit, 2);
        EXPECT_EQ(r.err.rfind("nubrasweep: " + said, 0), 0u) << r.err;
    }
    // The version is the project's.
    Result version = Run({"--version"});
    EXPECT_EQ(version.exit, 0);
    EXPECT_EQ(version.out.rfind("nubrasweep " NUBRA_PROJECT_VERSION, 0), 0u) << version.out;
    EXPECT_FALSE(std::filesystem::exists(Profile()));
}

TEST_F(Cli, FailuresGiveOneLineAndExitOne) {
    const std::vector<std::vector<std::string>> cases = {
        {"list", "Personal Folders\\Nowhere"},
        {"import", "No Store\\Inbox", WriteFile("a.jsonl", "{}\n")},
        {"mkdir", "Personal Folders\\Inbox"},
        {"mkdir", "Personal Folders"},
        {"clean", "Personal Folders\\Nowhere"},
        {"clean", "--key", "Nowhere_99"},
        {"store", "add", "Personal Folders.nbst", "--name", "Again"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        Result r = Run(args);
        EXPECT_EQ(r.exit, 1);
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.rfind("nubrasweep: error: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
}

TEST_F(Cli, ABadLineNamesFileAndLineAndImportsNothingFromThatFile) {
    const auto good = WriteFile("good.jsonl", "{\"Class\":43,\"Subject\":\"one\"}\n{\"Class\":43,\"Subject\":\"two\"}\n");
    const auto bad = WriteFile("bad.jsonl",
                               "{\"Class\":43,\"Subject\":\"three\"}\n\n{\"Class\":43,\"Subject\":}\n"
                               "{\"Class\":43,\"Subject\":\"four\"}\n");
    Result r = Run({"import", "Personal Folders\\Inbox", bad, good});
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find(bad + ":3: "), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(good + ": imported 2 items into Personal Folders\\Inbox"), std::string::npos) << r.out;
    const auto items = Export("Personal Folders\\Inbox");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_NE(items[0].find("\"Subject\":\"one\""), std::string::npos);
    EXPECT_NE(items[1].find("\"Subject\":\"two\""), std::string::npos);
}

TEST_F(Cli, ExportImportsAgainUnchanged) {
    const auto file = WriteFile(
        "mixed.jsonl",
        "{\"Class\":43,\"Subject\":\"Hi \\\"you\\\"\",\"Body\":\"a\\r\\nb\",\"SentOn\":\"2024-05-01T10:00:00Z\","
        "\"InternetMessageID\":\"<x@y>\",\"SenderName\":\"S\",\"To\":\"T\",\"Cc\":\"C\"}\n"
        "{\"Class\":40,\"FirstName\":\"Ann\",\"LastName\":\"Lee\",\"CompanyName\":\"Acme\",\"FullName\":\"Ann Lee\","
        "\"Email1Address\":\"ann@acme.example\",\"CreationTime\":\"2020-01-01T00:00:00Z\"}\n"
        "{\"Class\":26,\"Subject\":\"Meet\",\"Location\":\"Room\",\"Start\":\"2024-06-01T09:00:00Z\","
        "\"End\":\"2024-06-01T10:00:00Z\"}\n"
        "{\"Class\":48,\"Subject\":\"Do\",\"Status\":1,\"StartDate\":\"2024-06-01T00:00:00Z\","
        "\"DueDate\":\"2024-06-02T00:00:00Z\"}\n"
        "{\"Class\":44,\"Body\":\"note text\",\"Color\":3}\n"
        "{\"Class\":45,\"Subject\":\"A post\"}\n"
        "{\"Class\":69,\"Subject\":\"A list\"}\n");
    MustRun({"import", "Personal Folders\\Inbox", file});
    const auto first = Export("Personal Folders\\Inbox");
    ASSERT_EQ(first.size(), 7u);

    // Items without a creation time were given the import time, in file order.
    std::vector<std::string> times;
    for (const auto& line : first) {
        auto pos = line.find("\"CreationTime\":\"");
        ASSERT_NE(pos, std::string::npos) << line;
        std::string t = line.substr(pos + 16, line.find('"', pos + 16) - pos - 16);
        // Whole seconds are written without milliseconds; compare at one precision.
        if (t.size() == 20) t.insert(19, ".000");
        times.push_back(t);
    }
    EXPECT_EQ(times[1], "2020-01-01T00:00:00.000Z");
    EXPECT_LT(times[0], times[2]);
    for (size_t i = 3; i < times.size(); ++i) EXPECT_LT(times[i - 1], times[i]);

    const auto exported = WriteFile("export.jsonl", MustRun({"list", "Personal Folders\\Inbox", "--json"}).out);
    MustRun({"mkdir", "Personal Folders\\Copy", "--type", "mail"});
    MustRun({"import", "Personal Folders\\Copy", exported});
    EXPECT_EQ(Export("Personal Folders\\Copy"), first);

    // The readable listing shows one row per item and the count.
    const auto table = Lines(MustRun({"list", "Personal Folders\\Inbox"}).out);
    ASSERT_EQ(table.size(), 9u);
    EXPECT_EQ(table.back(), "7 items in Personal Folders\\Inbox");
    EXPECT_NE(table[2].find("contact"), std::string::npos);
    EXPECT_NE(table[2].find("Ann Lee"), std::string::npos);
}

// The tree's lines: path -> key, checking that every key is 12 hex digits and no two are alike.
std::map<std::string, std::string> TreeKeys(const std::string& out, std::vector<std::string>* rest = nullptr) {
    std::map<std::string, std::string> keys;
    std::set<std::string> seen;
    for (const auto& line : Lines(out)) {
        const auto tab = line.find('\t');
        const std::string key = line.substr(0, tab);
        EXPECT_TRUE(std::regex_match(key, std::regex("[0-9a-f]{12}"))) << line;
        EXPECT_TRUE(seen.insert(key).second) << line;
        keys[line.substr(line.rfind('\t') + 1)] = key;
        if (rest) rest->push_back(line.substr(tab + 1));
    }
    return keys;
}

TEST_F(Cli, TreeShowsTheDialogsNodesUnderKeysThatStay) {
    MustRun({"store", "add", "hot.nbst", "--name", "Hotmail"});
    MustRun({"store", "add", "arch.nbst", "--name", "Archive"});
    MustRun({"mkdir", "Archive\\Boards", "--type", "post"});
    MustRun({"mkdir", "Archive\\Boards\\Events", "--type", "appointment"});
    MustRun({"mkdir", "Archive\\Diary", "--type", "journal"});
    MustRun({"mkdir", "Archive\\Diary\\Below", "--type", "mail"});
    MustRun({"store", "add", "lower.nbst", "--name", "hotmail"});
    const Result tree = MustRun({"tree"});
    std::vector<std::string> shown;
    const auto keys = TreeKeys(tree.out, &shown);
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "2\tPersonal Folders",
                         "1\tPersonal Folders\\Inbox",
                         "1\tPersonal Folders\\Sent Items",
                         "1\tPersonal Folders\\Drafts",
                         "1\tPersonal Folders\\Outbox",
                         "1\tPersonal Folders\\Deleted Items",
                         "4\tPersonal Folders\\Calendar",
                         "3\tPersonal Folders\\Contacts",
                         "5\tPersonal Folders\\Tasks",
                         "6\tPersonal Folders\\Notes",
                         "2\tArchive",
                         "1\tArchive\\Deleted Items",
                         "-\tArchive\\Boards",
                         "4\tArchive\\Boards\\Events",
                         "2\thotmail",
                         "1\thotmail\\Deleted Items",
                     }));
    // The store the dialog's tree leaves out is named, with the reason.
    EXPECT_EQ(tree.err, "nubrasweep: note: store \"Hotmail\" is left out: the dialog's tree never shows a store of "
                        "that name\n");

    // A folder added before the others renumbers the dialog's nodes, not the keys.
    MustRun({"mkdir", "Personal Folders\\Inbox\\New"});
    const auto after = TreeKeys(MustRun({"tree"}).out);
    for (const auto& [path, key] : keys) EXPECT_EQ(after.at(path), key) << path;

    // A key taken before still names its folder; once the folder is gone it names none, and a
    // key of the dialog's (as earlier versions printed) is refused rather than guessed.
    const std::string events = keys.at("Archive\\Boards\\Events");
    const std::string meeting =
        R"({"Class":26,"Subject":"Meet","Start":"2024-06-01T09:00:00Z","End":"2024-06-01T10:00:00Z"})" "\n";
    MustRun({"import", "Archive\\Boards\\Events", WriteFile("meet.jsonl", meeting + meeting)});
    EXPECT_EQ(Lines(MustRun({"clean", "--key", events, "--dry-run"}).out).back(),
              "would move 1 duplicate item to subfolder 'Nubra_Duplicate_Items'");
    EXPECT_EQ(MustRun({"clean", "--key", events}).out,
              "Nubra moved 1 duplicate items to subfolder 'Nubra_Duplicate_Items'\n");
    MustRun({"store", "remove", "Archive"});
    for (const auto& [key, refusal] : std::vector<std::pair<std::string, std::string>>{
             {events, "no folder with key '" + events + "'"},
             {"Inbox_2", "keys of that form were the dialog's"}}) {
        Result r = Run({"clean", "--key", key, "--dry-run"});
        EXPECT_EQ(r.exit, 1) << key;
        EXPECT_NE(r.err.find(refusal), std::string::npos) << r.err;
    }

    // Every folder passes over the store the tree leaves out, and says so.
    Result all = MustRun({"clean", "--all", "--dry-run"});
    EXPECT_NE(all.err.find("note: store \"Hotmail\" is left out"), std::string::npos) << all.err;
    // With no store the tree shows, the dialog's warning speaks of this program's store files.
    MustRun({"store", "remove", "Personal Folders"});
    MustRun({"store", "remove", "hotmail"});
    Result none = MustRun({"tree"});
    EXPECT_NE(none.err.find("Nubra: Nubra was unable to read your store file."), std::string::npos) << none.err;
    EXPECT_EQ(none.err.find("pst"), std::string::npos) << none.err;
}

TEST_F(Cli, CleanPrintsTheDialogsOutcome) {
    const auto contacts = WriteFile(
        "contacts.jsonl",
        "{\"Class\":40,\"FirstName\":\"Ann\",\"LastName\":\"Lee\",\"CompanyName\":\"Acme\",\"Email1Address\":\"a@x\","
        "\"CreationTime\":\"2020-01-01T00:00:00Z\"}\n"
        "{\"Class\":40,\"FirstName\":\"Bob\",\"LastName\":\"Lee\"}\n"
        "{\"Class\":40,\"FirstName\":\"Ann\",\"LastName\":\"Lee\",\"CompanyName\":\"Acme\",\"Email1Address\":\"a@x\","
        "\"CreationTime\":\"2021-01-01T00:00:00Z\"}\n");
    const auto notes = WriteFile("notes.jsonl",
                                 "{\"Class\":44,\"Body\":\"milk\",\"Color\":1}\n{\"Class\":44,\"Body\":\"milk\",\"Color\":1}\n"
                                 "{\"Class\":44,\"Body\":\"milk\",\"Color\":2}\n{\"Class\":44,\"Body\":\"milk\",\"Color\":1}\n");
    const auto tasks = WriteFile("tasks.jsonl", "{\"Class\":48,\"Subject\":\"a\"}\n{\"Class\":48,\"Subject\":\"b\"}\n");
    MustRun({"import", "Personal Folders\\Contacts", contacts});
    MustRun({"import", "Personal Folders\\Notes", notes});
    MustRun({"import", "Personal Folders\\Tasks", tasks});

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Personal Folders\\Contacts", "Nubra moved 1 duplicate items to subfolder 'Nubra_Duplicate_Items'"},
        {"Personal Folders\\Notes", "Nubra has deleted 2 duplicate notes. Notes cannot be moved to a subfolder"},
        {"Personal Folders\\Tasks", "There are no duplicates found in folder Tasks"},
        {"Personal Folders\\Outbox", "Folder Outbox is empty"},
        {"Personal Folders", "Folder Personal Folders is empty"},
        // A second run finds nothing more.
        {"Personal Folders\\Contacts", "There are no duplicates found in folder Contacts"},
    };
    for (const auto& [path, text] : cases) {
        SCOPED_TRACE(path);
        Result r = MustRun({"clean", path});
        EXPECT_EQ(r.out, text + "\n");
        EXPECT_NE(r.err.find("Log file: " + (dir.path() / "Nubra" / "Nubra.log").string()), std::string::npos)
            << r.err;
    }
    // The older Ann Lee stays; the copy is in the subfolder.
    const auto kept = Export("Personal Folders\\Contacts");
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_NE(kept[0].find("2020-01-01"), std::string::npos);
    const auto moved = Export("Personal Folders\\Contacts\\Nubra_Duplicate_Items");
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_NE(moved[0].find("2021-01-01"), std::string::npos);
    EXPECT_EQ(Export("Personal Folders\\Notes").size(), 2u);
    // The run wrote the tree's lines into the log.
    EXPECT_NE(testing::ReadFile(dir.path() / "Nubra" / "Nubra.log").find("nodes added to the treeview"),
              std::string::npos);
}

TEST_F(Cli, SameNamedStoresAreToldApartByKey) {
    MustRun({"store", "add", "second.nbst", "--name", "Personal Folders", "--standard-folders"});
    const auto notes = WriteFile("notes.jsonl", "{\"Class\":44,\"Body\":\"x\"}\n{\"Class\":44,\"Body\":\"x\"}\n");
    // A path that names both stores is refused; the store's file names one of them.
    Result which = Run({"import", "Personal Folders\\Notes", notes});
    EXPECT_EQ(which.exit, 1);
    EXPECT_NE(which.err.find("2 stores are named \"Personal Folders\""), std::string::npos) << which.err;
    MustRun({"import", "Personal Folders.nbst\\Notes", notes});

    Result ambiguous = Run({"clean", "Personal Folders\\Notes"});
    EXPECT_EQ(ambiguous.exit, 1);
    std::vector<std::string> notesKeys;
    for (const auto& line : Lines(MustRun({"tree"}).out))
        if (line.size() > 23 && line.substr(line.size() - 23) == "\tPersonal Folders\\Notes")
            notesKeys.push_back(line.substr(0, line.find('\t')));
    ASSERT_EQ(notesKeys.size(), 2u);
    EXPECT_NE(ambiguous.err.find("(keys " + notesKeys[0] + ", " + notesKeys[1] + ")"), std::string::npos)
        << ambiguous.err;

    // Cleaning the second store's Notes leaves the first store's duplicates alone.
    EXPECT_EQ(MustRun({"clean", "--key", notesKeys[1]}).out, "Folder Notes is empty\n");
    EXPECT_EQ(MustRun({"clean", "--key", notesKeys[0]}).out,
              "Nubra has deleted 1 duplicate notes. Notes cannot be moved to a subfolder\n");
}

TEST_F(Cli, StoresAreRenamedAndTakenOutWithoutTheirData) {
    const auto notes = WriteFile("notes.jsonl", "{\"Class\":44,\"Body\":\"x\"}\n{\"Class\":44,\"Body\":\"y\"}\n");
    MustRun({"store", "add", "second.nbst", "--name", "Second", "--standard-folders"});
    MustRun({"import", "Second\\Notes", notes});
    EXPECT_NE(MustRun({"store", "rename", "Second", "Work"}).out.find("is now named Work"), std::string::npos);
    EXPECT_EQ(Export("Work\\Notes").size(), 2u);

    // Not while a run works in one of its folders.
    {
        auto profile = store::Profile::Open(Profile());
        const auto held = store::LockFolderForRun(*profile->FindFolder("Work\\Notes"));
        Result busy = Run({"store", "remove", "Work"});
        EXPECT_EQ(busy.exit, 1);
        EXPECT_NE(busy.err.find("Another removal run is working on folder Notes"), std::string::npos) << busy.err;
    }
    const auto file = std::filesystem::path(Profile()) / "second.nbst";
    MustRun({"store", "remove", "Work"});
    EXPECT_EQ(MustRun({"stores"}).out.find("Work\t"), std::string::npos);
    EXPECT_EQ(Run({"list", "Work\\Notes"}).exit, 1);
    // The file stays, and comes back whole.
    ASSERT_TRUE(std::filesystem::exists(file));
    MustRun({"store", "add", file.string()});
    EXPECT_EQ(Export("Work\\Notes").size(), 2u);

    // A Maildir: the cache goes, the mail stays.
    const auto maildir = dir.path() / "mail";
    for (const char* sub : {"cur", "new", "tmp"}) std::filesystem::create_directories(maildir / sub);
    std::ofstream(maildir / "cur" / "1:2,S") << "Message-ID: <a@x>\r\nSubject: hi\r\n\r\nbody\r\n";
    MustRun({"store", "add-maildir", maildir.string(), "--name", "Mail"});
    std::string cache;
    for (const auto& line : Lines(MustRun({"stores"}).out))
        if (line.rfind("Mail\t", 0) == 0) cache = line.substr(5, line.find('\t', 5) - 5);
    ASSERT_TRUE(std::filesystem::exists(cache)) << cache;
    EXPECT_NE(MustRun({"store", "remove", "Mail"}).out.find("its cache is removed"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(cache));
    EXPECT_TRUE(std::filesystem::exists(maildir / "cur" / "1:2,S"));

    // A name with "\" could never be reached by a path: refused by every command that names a
    // store, before anything is made.
    const std::string before = MustRun({"stores"}).out;
    const std::vector<std::vector<std::string>> named = {
        {"store", "add", "new.nbst", "--name", "Work\\Old"},
        {"store", "add", (dir.path() / "Work\\Old.nbst").string(), "--standard-folders"},
        {"store", "add-maildir", maildir.string(), "--name", "Work\\Old"},
        {"store", "add-imap", "imaps://user@127.0.0.1:1/", "--name", "Work\\Old"},
        {"store", "add-imap", "imaps://DOMAIN\\user@127.0.0.1:1/"},
        {"store", "rename", "Work", "Work\\Old"},
        {"import-pst", NUBRA_TESTDATA_DIR "/pst/pstsdk_sample1.pst", "--name", "Work\\Old"},
    };
    for (const auto& args : named) {
        SCOPED_TRACE(::testing::PrintToString(args));
        Result r = Run(args);
        EXPECT_EQ(r.exit, 1);
        EXPECT_NE(r.err.find("a store's name cannot contain \"\\\""), std::string::npos) << r.err;
    }
    EXPECT_EQ(MustRun({"stores"}).out, before);
}

TEST_F(Cli, APathWrittenWithSlashesIsAnsweredWithTheOneMeant) {
    const auto mail = WriteFile("m.jsonl", "{\"Class\":43,\"Subject\":\"s\"}\n");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"list", "Personal Folders/Inbox"}, "Personal Folders\\Inbox"},
        {{"import", "Personal Folders/Inbox", mail}, "Personal Folders\\Inbox"},
        {{"export", "Personal Folders/Inbox", (dir.path() / "out").string()}, "Personal Folders\\Inbox"},
        {{"mkdir", "Personal Folders/Inbox/Old"}, "Personal Folders\\Inbox\\Old"},
        {{"clean", "Personal Folders/Inbox"}, "Personal Folders\\Inbox"},
        {{"list", "Personal Folders/Nowhere"}, ""},
    };
    for (const auto& [args, meant] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        Result r = Run(args);
        EXPECT_EQ(r.exit, 1);
        const size_t hint = r.err.find("folder paths are joined by \"\\\": did you mean \"" + meant + "\"?");
        if (meant.empty()) EXPECT_EQ(r.err.find("did you mean"), std::string::npos) << r.err;
        else EXPECT_NE(hint, std::string::npos) << r.err;
    }
}

TEST_F(Cli, AStoreFileIsFoundFromTheCurrentFolder) {
    const auto here = dir.path() / "here";
    std::filesystem::create_directories(here);
    // A store file made elsewhere, lying in the current folder.
    const std::string other = (dir.path() / "other").string();
    ASSERT_EQ(Run({"--profile", other, "store", "add", (here / "found.nbst").string(), "--name", "Found"}, false).exit, 0);
    ASSERT_EQ(Run({"--profile", other, "store", "remove", "Found"}, false).exit, 0);
    const std::string cd = "cd " + clitest::Quote(here.string()) + " &&";
    struct Case {
        std::string argument, name;
        std::filesystem::path file;
    };
    const std::vector<Case> cases = {
        {"found.nbst", "Found", here / "found.nbst"},                      // there: attached
        {"./made.nbst", "made", here / "made.nbst"},                       // a path: made there
        {"fresh.nbst", "fresh", std::filesystem::path(Profile()) / "fresh.nbst"},  // a bare new name: in the profile
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        Result r = Run({"store", "add", c.argument}, true, cd);
        EXPECT_EQ(r.exit, 0) << r.err;
        EXPECT_NE(MustRun({"stores"}).out.find(c.name + "\t" + c.file.string() + "\t"), std::string::npos);
    }
}

TEST_F(Cli, TablesLineUpWhateverTheCharacters) {
    // Each subject takes four columns on a terminal.
    std::string items;
    for (const std::string subject : {"abcd", "J\xC3\xB6rg", "\xE6\x97\xA5\xE6\x9C\xAC", "e\xCC\x81" "abc"})
        items += "{\"Class\":43,\"Subject\":\"" + subject + "\",\"InternetMessageID\":\"<same@x>\"}\n";
    MustRun({"import", "Personal Folders\\Inbox", WriteFile("wide.jsonl", items)});
    const auto lines = Lines(MustRun({"list", "Personal Folders\\Inbox"}).out);
    ASSERT_EQ(lines.size(), 6u);
    // The same padding after each subject: the details column begins at one column in every row.
    std::set<size_t> paddings;
    for (size_t i = 1; i <= 4; ++i) {
        const size_t details = lines[i].rfind("id <same@x>");
        ASSERT_NE(details, std::string::npos) << lines[i];
        size_t subjectEnd = details;
        while (subjectEnd > 0 && lines[i][subjectEnd - 1] == ' ') --subjectEnd;
        paddings.insert(details - subjectEnd);
    }
    EXPECT_EQ(paddings.size(), 1u) << ::testing::PrintToString(lines);
}

TEST_F(Cli, OtherFormatsAreChosenByExtensionOrContent) {
    const std::filesystem::path data = NUBRA_TESTDATA_DIR;
    const auto vcard = (data / "vcard/ez-vcard/John_Doe_EVOLUTION.vcf").string();
    // The same vCard without an extension is recognised by its content.
    const auto noExt = WriteFile("contact-without-extension", testing::ReadFile(vcard));
    struct Case {
        std::string folder, file;
        int exit;
        std::string said;
    };
    const std::vector<Case> cases = {
        {"Personal Folders\\Contacts", vcard, 0, ": imported 1 item into Personal Folders\\Contacts"},
        {"Personal Folders\\Contacts", noExt, 0, ": imported 1 item into Personal Folders\\Contacts"},
        {"Personal Folders\\Inbox", (data / "mail/tika/testGroupWiseEml.eml").string(), 0, ": imported 1 item"},
        {"Personal Folders\\Calendar", (data / "ical/libical/2.ics").string(), 0, ": imported 1 item"},
        {"Personal Folders\\Calendar", (data / "ical/libical/8.ics").string(), 1, "8.ics:1: "},
        {"Personal Folders\\Inbox", (data / "pst/pstsdk_sample1.pst").string(), 1, "import-pst"},
        {"Personal Folders\\Inbox", WriteFile("junk.bin", "\x01\x02 binary"), 1, "junk.bin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Result r = Run({"import", c.folder, c.file});
        EXPECT_EQ(r.exit, c.exit) << r.err;
        EXPECT_NE((c.exit ? r.err : r.out).find(c.said), std::string::npos) << r.out << r.err;
    }
    EXPECT_EQ(Export("Personal Folders\\Contacts").size(), 2u);
    EXPECT_EQ(Export("Personal Folders\\Calendar").size(), 1u);

    // An Outlook data file becomes a store of its own, shown in the tree.
    Result pst = MustRun({"import-pst", (data / "pst/pstsdk_sample1.pst").string(), "--name", "Sample"});
    EXPECT_EQ(pst.out.rfind("Store Sample: ", 0), 0u) << pst.out;
    EXPECT_NE(MustRun({"tree"}).out.find("\t2\tSample\n"), std::string::npos);
    // A file cut short: what was read is kept, what was not is listed, and the import fails.
    const std::string whole = testing::ReadFile(data / "pst/process-pst_flags_jane_doe.pst");
    Result cut = Run({"import-pst", WriteFile("cut.pst", whole.substr(0, 90 * 1024)), "--name", "Cut"});
    EXPECT_EQ(cut.exit, 1);
    EXPECT_NE(cut.err.find("skipped: Cut"), std::string::npos) << cut.err;
    EXPECT_NE(cut.err.find("could not be read"), std::string::npos) << cut.err;

    // Export writes the natural files of the folder's kinds.
    const auto out = dir.path() / "out";
    Result exported = MustRun({"export", "Personal Folders\\Contacts", out.string()});
    EXPECT_TRUE(std::filesystem::exists(out / "contacts.vcf")) << exported.out;
}

TEST_F(Cli, ADamagedStoreIsNeverCleaned) {
    std::string lines;
    for (int i = 0; i < 3; ++i)
        for (int copy = 0; copy < 2; ++copy)
            lines += "{\"Class\":43,\"Subject\":\"dup\",\"InternetMessageID\":\"<d" + std::to_string(i) + "@x>\"}\n";
    for (int i = 0; i < 300; ++i)
        lines += "{\"Class\":43,\"Subject\":\"other\",\"Body\":\"" + std::string(3000, 'x') +
                 "\",\"InternetMessageID\":\"<o" + std::to_string(i) + "@x>\"}\n";
    MustRun({"import", "Personal Folders\\Inbox", WriteFile("a.jsonl", lines)});
    const auto store = std::filesystem::path(Profile()) / "Personal Folders.nbst";
    ASSERT_EQ(std::system(("python3 -c \"import sqlite3; sqlite3.connect('" + store.string() +
                           "').execute('pragma wal_checkpoint(TRUNCATE)')\"").c_str()),
              0);
    {
        // Damage that the scan's searches would not stumble on: they would quietly find less.
        std::fstream f(store, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(std::filesystem::file_size(store) / 2 / 4096 * 4096));
        const std::string zeros(4096, '\0');
        f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }
    const std::string before = testing::ReadFile(store);
    Result r = Run({"clean", "Personal Folders\\Inbox"});
    EXPECT_EQ(r.exit, 1) << r.out;
    EXPECT_NE(r.err.find("is damaged"), std::string::npos) << r.err;
    EXPECT_EQ(testing::ReadFile(store), before);
}

TEST_F(Cli, ARemovalThatFailsOrIsHeldOffFailsTheClean) {
    std::string lines;
    for (int i = 0; i < 200; ++i)
        lines += "{\"Class\":43,\"Subject\":\"s\",\"Body\":\"" + std::string(2000, 'b') +
                 "\",\"InternetMessageID\":\"<m" + std::to_string(i / 2) + "@x>\"}\n";
    const auto items = WriteFile("pairs.jsonl", lines);

    // Another run holds the folder: refused before anything moves.
    MustRun({"import", "Personal Folders\\Inbox", items});
    {
        auto profile = store::Profile::Open(Profile());
        const auto held = store::LockFolderForRun(*profile->FindFolder("Personal Folders\\Inbox"));
        Result r = Run({"clean", "Personal Folders\\Inbox"});
        EXPECT_EQ(r.exit, 1);
        EXPECT_NE(r.err.find("Another removal run is working on folder Inbox"), std::string::npos) << r.err;
        EXPECT_NE(MustRun({"list", "Personal Folders\\Inbox"}).out.find("200 items"), std::string::npos);
    }

    // A disk that fills: a run's moves that could not be saved are not reported as done, and
    // every item is still where it was.
    const auto mnt = dir.path() / "small";
    std::filesystem::create_directories(mnt);
    if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=4m") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::filesystem::path dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount{mnt};
    const std::string small = (mnt / "profile").string();
    ASSERT_EQ(Run({"--profile", small, "import", "Personal Folders\\Inbox", items}, false).exit, 0);
    {
        std::ofstream ballast(mnt / "ballast", std::ios::binary);
        const std::string block(16 * 1024, 'x');
        while (ballast.write(block.data(), block.size())) {
        }
    }
    // Room to open the store and begin, not to finish.
    std::filesystem::resize_file(mnt / "ballast", std::filesystem::file_size(mnt / "ballast") - 48 * 1024);
    Result full = Run({"--profile", small, "clean", "Personal Folders\\Inbox"}, false);
    EXPECT_EQ(full.exit, 1) << full.out;
    EXPECT_NE(full.err.find("cannot save the run's last changes: database or disk is full"), std::string::npos)
        << full.err;
    EXPECT_EQ(full.out.find("Nubra moved"), std::string::npos) << full.out;
    std::filesystem::remove(mnt / "ballast");
    EXPECT_NE(Run({"--profile", small, "list", "Personal Folders\\Inbox"}, false).out.find("200 items"), std::string::npos);
}

TEST_F(Cli, HostileSettingsFailSafely) {
    // Subjects and folder names cannot drive the terminal.
    MustRun({"import", "Personal Folders\\Inbox",
             WriteFile("esc.jsonl", "{\"Class\":43,\"Subject\":\"\\u001b]0;owned\\u0007 \\u001b[2J hi\"}\n")});
    const std::string made = MustRun({"mkdir", "Personal Folders\\Inbox\\a\x1b[2Jb"}).out;
    for (const auto& out : {made, MustRun({"list", "Personal Folders\\Inbox"}).out, MustRun({"tree"}).out}) {
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
        EXPECT_NE(out.find("\\x1B["), std::string::npos) << out;
    }
    // Output that cannot be written is a failure, not a short success, and says why.
    for (const auto& args : std::vector<std::vector<std::string>>{{"list", "Personal Folders\\Inbox", "--json"},
                                                                  {"clean", "Personal Folders\\Inbox", "--dry-run"},
                                                                  {"--help"}}) {
        Result full = Run(args, true, "", ">/dev/full");
        EXPECT_EQ(full.exit, 1) << args[0];
        EXPECT_NE(full.err.find("cannot write the output: No space left on device"), std::string::npos) << full.err;
    }
    // No window system, or one that does not answer: an error, not an abort.
    // A display number no X server of this machine uses (virtual displays of other tests come
    // and go from :99 up).
    int unused = 199;
    while (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(unused))) ++unused;
    for (const std::string& environment : std::vector<std::string>{
             "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM",
             "env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:" + std::to_string(unused),
          "env -u DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR=" + dir.str() + " WAYLAND_DISPLAY=nope"}) {
        Result gui = Run({"gui"}, true, environment);
        EXPECT_EQ(gui.exit, 1) << environment;
        EXPECT_NE(gui.err.find("no display"), std::string::npos) << gui.err;
    }

    // Mail is private whatever the umask.
    const auto profile = std::filesystem::path(Profile());
    for (const auto& [file, mode] : std::vector<std::pair<std::filesystem::path, std::filesystem::perms>>{
             {profile, std::filesystem::perms::owner_all},
             {profile / "Personal Folders.nbst", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write},
             {profile / "profile.json", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write}})
        EXPECT_EQ(std::filesystem::status(file).permissions(), mode) << file;

    // A profile file deleted by hand: its stores are found again, with a word about it.
    MustRun({"store", "add", "second.nbst", "--name", "Archive"});
    std::filesystem::remove(profile / "profile.json");
    Result found = MustRun({"stores"});
    EXPECT_NE(found.out.find("Archive\t"), std::string::npos) << found.out;
    EXPECT_NE(found.err.find("warning: the profile file"), std::string::npos) << found.err;

    // A profile this user may read but not write still lists.
    if (::geteuid() == 0) {
        for (auto p = profile; p != p.root_path(); p = p.parent_path())
            if (p.string().size() >= dir.str().size())
                std::filesystem::permissions(p, std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                                             std::filesystem::perm_options::add);
        for (const auto& entry : std::filesystem::directory_iterator(profile))
            std::filesystem::permissions(entry.path(), std::filesystem::perms::others_read,
                                         std::filesystem::perm_options::add);
        const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups";
        // The add-in's registration as that user's own would be.
        const auto config = dir.path() / "config";
        for (const auto& p : {config, config / "nubrasweep", config / "nubrasweep" / "registry.reg"})
            std::filesystem::permissions(p, std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
                                         std::filesystem::perm_options::add);
        Result other = Run({"list", "Personal Folders\\Inbox"}, true, nobody);
        EXPECT_EQ(other.exit, 0) << other.err;
        EXPECT_NE(other.out.find("1 item in Personal Folders\\Inbox"), std::string::npos) << other.out;
        // That user's own home, where the add-in keeps its log when the common folder is not theirs.
        const auto home = dir.path() / "home";
        std::filesystem::create_directories(home);
        ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
        Result tree = Run({"tree"}, true, nobody + " env HOME=" + home.string());
        EXPECT_EQ(tree.exit, 0) << tree.err;
        EXPECT_NE(tree.out.find("\tArchive\n"), std::string::npos) << tree.out;
    }
}

TEST_F(Cli, ProfileComesFromTheEnvironmentAndIsCreatedOnFirstUse) {
    const auto envProfile = dir.path() / "env-profile";
    {
        testing::ScopedEnv profile("NUBRA_PROFILE", envProfile.string());
        Result r = Run({"stores"}, false);
        EXPECT_EQ(r.exit, 0) << r.err;
        EXPECT_EQ(r.out.rfind("Personal Folders\t", 0), 0u) << r.out;
    }
    EXPECT_TRUE(std::filesystem::exists(envProfile / "profile.json"));
    {
        testing::ScopedEnv profile("NUBRA_PROFILE", std::nullopt);
        testing::ScopedEnv data("XDG_DATA_HOME", (dir.path() / "xdg").string());
        EXPECT_EQ(Run({"stores"}, false).exit, 0);
    }
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "xdg" / "nubrasweep" / "profile" / "profile.json"));
}

}  // namespace
}  // namespace nubra
