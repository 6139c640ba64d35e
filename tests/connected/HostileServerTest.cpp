// An IMAP server that lies, stalls, sends endless data or names nobody could place: each case
// is one misbehaviour of a small scripted server (hostile_imap.py) on 127.0.0.1, in plain
// text, and what nubrasweep must do about it as a user sees it: end with a clear error naming
// the server (or pass over what it cannot take, with a warning), never hang or crash, change
// on the server only what it was asked to, and leave the cache as the server has it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/connected/ConnectedSupport.h"
#include "tests/support/TestEnv.h"

namespace nubra::connected_tests {
namespace {

const std::string kPassword = "Sup3rSecretPW";

std::string Slurp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class HostileServer {
public:
    HostileServer(const fs::path& dir, const std::string& scenario) : dir_(dir) {
        fs::create_directories(dir_);
        pid_ = StartProgram({"python3", NUBRA_HOSTILE_IMAP, dir_.string(), scenario, kPassword});
        for (int i = 0; i < 200 && !fs::exists(dir_ / "port"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        port_ = Slurp(dir_ / "port");
    }
    ~HostileServer() {
        ::kill(pid_, SIGKILL);
        WaitFor(pid_);
    }
    bool Started() const { return !port_.empty(); }
    std::string Url() const { return "imap://u@127.0.0.1:" + port_ + "/"; }
    // Messages in each mailbox.
    std::map<std::string, size_t> State() const {
        std::map<std::string, size_t> boxes;
        std::istringstream in(Slurp(dir_ / "state"));
        std::string line;
        while (std::getline(in, line))
            if (const auto tab = line.find('\t'); tab != std::string::npos)
                boxes[line.substr(0, tab)] = std::stoul(line.substr(tab + 1));
        return boxes;
    }
    // The commands it was sent so far, one a line.
    std::string Log() const { return Slurp(dir_ / "log"); }

private:
    fs::path dir_;
    pid_t pid_ = -1;
    std::string port_;
};

struct Step {
    std::vector<std::string> args;  // "{url}": the server; "{dir}": the case's folder
    int exit;
    std::vector<std::string> said;      // each in what the step wrote (stdout and stderr)
    std::vector<std::string> notAsked;  // no command of the step holds one of these
};
struct Case {
    const char* name;
    const char* scenario;
    std::vector<Step> steps;
    std::map<std::string, size_t> server;  // messages per mailbox afterwards (those named)
};

const std::string kStore = "u@127.0.0.1\\";
const std::string kDuplicates = "INBOX/Nubra_Duplicate_Items";
const Step kAdd{{"store", "add-imap", "{url}", "--allow-plain"}, 0, {}, {}};
Step Add(int exit, std::vector<std::string> said) { return {kAdd.args, exit, std::move(said), {}}; }

std::vector<Case> Cases() {
    const Step clean{{"clean", kStore + "INBOX"}, 0, {"moved 3 duplicate"}, {}};
    const Step cleanNothing{{"clean", kStore + "INBOX"}, 0, {"no duplicates"}, {}};
    auto list = [](const std::string& folder, const std::string& count) {
        return Step{{"list", kStore + folder}, 0, {count + " items in"}, {}};
    };
    // The server said it moved what it did not: the run fails naming the server, the cache
    // shows the messages where they are.
    const std::vector<Step> lied = {kAdd,
                                    {{"clean", kStore + "INBOX"}, 1, {"u@127.0.0.1:", "3 of them are still in INBOX"}, {}},
                                    list("INBOX", "9")};
    // A COPYUID not to be trusted: the run fails, the moves are found on the server, and the
    // next run has nothing left to do.
    const std::vector<Step> unbelieved = {kAdd,
                                          {{"clean", kStore + "INBOX"}, 1, {"u@127.0.0.1:", "COPYUID"}, {}},
                                          cleanNothing,
                                          list("INBOX", "6"),
                                          list("INBOX\\Nubra_Duplicate_Items", "3")};
    return {
        {"RepeatedAndUnaskedFetchAnswers", "extra-fetch", {kAdd, list("INBOX", "3"), cleanNothing}, {{"INBOX", 3}}},
        {"MoveThatMovesNothing", "move-nothing", lied, {{"INBOX", 9}, {kDuplicates, 0}}},
        {"CopyThatCopiesNothing", "copy-nothing", lied, {{"INBOX", 9}, {kDuplicates, 0}}},
        {"CopyuidOfAllUids", "copyuid-huge", unbelieved, {{"INBOX", 6}, {kDuplicates, 3}}},
        {"CopyuidOfUidsNotAsked", "copyuid-foreign", unbelieved, {{"INBOX", 6}, {kDuplicates, 3}}},
        {"ConnectionEndsInALiteral", "eof-in-literal", {Add(1, {"the connection to u@127.0.0.1:", "was lost"})}, {}},
        {"ConnectionEndsInAWholeMessage",
         "cut-big-fetch",
         {kAdd, {{"export", kStore + "INBOX", "{dir}/out"}, 1, {"the connection to u@127.0.0.1:", "was lost"}, {}}},
         {}},
        {"NoGreeting", "silent", {Add(1, {"u@127.0.0.1:", "did not greet within 3 s"})}, {}},
        {"TrickleOfBytes", "trickle-list", {Add(1, {"u@127.0.0.1:", "sent nothing that counts for 3 s", "LIST"})}, {}},
        {"TrickleOfLines", "trickle-lines", {Add(1, {"u@127.0.0.1:", "answered too slowly", "LIST"})}, {}},
        {"LiteralOfFourGigabytes", "huge-literal", {Add(1, {"u@127.0.0.1:", "a literal of 4000000000 bytes"})}, {}},
        {"EndlessGreeting", "endless-greeting", {Add(1, {"u@127.0.0.1:", "a line longer than 1 MiB"})}, {}},
        {"EndlessListLine", "endless-list", {Add(1, {"u@127.0.0.1:", "a line longer than 1 MiB", "LIST"})}, {}},
        {"MailboxThreeThousandLevelsDeep",
         "deep-name",
         {Add(0, {"is passed over: it is 3000 levels deep"}), {{"tree"}, 0, {"u@127.0.0.1\\INBOX"}, {}}},
         {}},
        {"NamesThatNeedCare",
         "bad-names",
         {Add(0, {"\"a//b\"", "\"trail/\"", "\"/abs\"", "NUL character", "\"Bad&Jjo\" on u@127.0.0.1:"}),
          {{"tree"}, 0, {kStore + "Données été", kStore + "100% & done", kStore + "Back⧵slash", kStore + "Bad&Jjo"}, {}},
          list("Données été", "2"),
          list("Back⧵slash", "2"),
          {{"clean", kStore + "Données été"}, 0, {"moved 1 duplicate"}, {}}},
         {{"Donn&AOk-es &AOk-t&AOk-", 1}, {"Donn&AOk-es &AOk-t&AOk-/Nubra_Duplicate_Items", 1}, {"Back\\slash", 2}}},
        {"PasswordInTheServersAnswer", "echo-password", {Add(1, {"refused the login", "***"})}, {}},
        {"ListingReadsTheCache", "plain", {kAdd, {{"list", kStore + "INBOX"}, 0, {"3 items in"}, {"BODY.PEEK[]"}}}, {}},
        {"PasswordFileThatIsAFifo",
         "plain",
         {{{"store", "add-imap", "{url}", "--allow-plain", "--password-file", "{dir}/fifo"},
           1,
           {"the password file", "fifo\" is not a regular file"},
           {}}},
         {}},
    };
}

class HostileImapServer : public ::testing::TestWithParam<Case> {};

TEST_P(HostileImapServer, FailsCleanlyAndChangesOnlyWhatWasAsked) {
    const Case& c = GetParam();
    testing::TempDir tmp;
    HostileServer server(tmp.path() / "server", c.scenario);
    ASSERT_TRUE(server.Started()) << "the scripted server did not start";
    ASSERT_EQ(::mkfifo((tmp.path() / "fifo").c_str(), 0600), 0);
    User user{tmp.path() / "user"};
    fs::create_directories(user.dir / "appdata");
    auto env = user.env();
    env["NUBRA_IMAP_PASSWORD"] = kPassword;
    // Short, so that a stall ends soon; the scripted server answers at once otherwise.
    env["NUBRA_IMAP_TIMEOUT"] = "3";
    for (const auto& step : c.steps) {
        std::vector<std::string> argv{"timeout", "-s", "KILL", "60", NUBRASWEEP_BINARY};
        for (std::string a : step.args) {
            for (const auto& [from, to] : {std::pair<std::string, std::string>{"{url}", server.Url()},
                                           {"{dir}", tmp.path().string()}})
                if (const auto at = a.find(from); at != std::string::npos) a.replace(at, from.size(), to);
            argv.push_back(a);
        }
        SCOPED_TRACE(step.args.front() + " " + (step.args.size() > 1 ? step.args[1] : ""));
        const size_t asked = server.Log().size();
        const auto r = RunProgram(argv, env);
        const std::string said = r.out + r.err;
        EXPECT_EQ(r.exit, step.exit) << said;  // 137: it hung and was ended
        for (const auto& part : step.said) EXPECT_NE(said.find(part), std::string::npos) << part << " in:\n" << said;
        for (const auto& part : step.notAsked)
            EXPECT_EQ(server.Log().substr(asked).find(part), std::string::npos) << part;
        EXPECT_EQ(said.find(kPassword), std::string::npos) << "the password was shown";
    }
    const auto state = server.State();
    for (const auto& [box, count] : c.server) {
        const auto it = state.find(box);
        EXPECT_EQ(it == state.end() ? 0 : it->second, count) << box;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileImapServer, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A cache made before deep mailboxes were passed over holds a chain of thousands of folders
// above one: the next synchronisation takes out every folder that stands for no mailbox, and
// the tree (a walk that recurses per level) shows the account again.
TEST(HostileImapCache, AFolderChainNoMailboxNeedsIsTakenOut) {
    testing::TempDir tmp;
    HostileServer server(tmp.path() / "server", "plain");
    ASSERT_TRUE(server.Started());
    User user{tmp.path() / "user"};
    const std::map<std::string, std::string> env{{"NUBRA_IMAP_PASSWORD", kPassword}};
    ASSERT_EQ(user.Run({"store", "add-imap", server.Url(), "--allow-plain"}, env).exit, 0);
    const auto stores = user.Run({"stores"}).out;
    const auto start = stores.find("u@127.0.0.1\t") + 12, end = stores.find('\t', start);
    const fs::path cache = stores.substr(start, end - start);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(cache.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_stmt* add = nullptr;
    sqlite3_prepare_v2(db, "SELECT id FROM folders WHERE parent_id IS NULL", -1, &add, nullptr);
    ASSERT_EQ(sqlite3_step(add), SQLITE_ROW);
    sqlite3_int64 parent = sqlite3_column_int64(add, 0);  // the top-level folder
    sqlite3_finalize(add);
    sqlite3_prepare_v2(db, "INSERT INTO folders(parent_id, name, item_type) VALUES (?, 'a', 0)", -1, &add, nullptr);
    for (int i = 0; i < 30000; ++i) {
        sqlite3_bind_int64(add, 1, parent);
        ASSERT_EQ(sqlite3_step(add), SQLITE_DONE);
        sqlite3_reset(add);
        parent = sqlite3_last_insert_rowid(db);
    }
    sqlite3_finalize(add);
    ASSERT_EQ(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    const auto tree = user.Run({"tree"}, env);
    EXPECT_EQ(tree.exit, 0) << tree.err;
    EXPECT_NE(tree.out.find("u@127.0.0.1\\INBOX"), std::string::npos) << tree.out;
    EXPECT_EQ(tree.out.find("u@127.0.0.1\\a"), std::string::npos);
}

}  // namespace
}  // namespace nubra::connected_tests
