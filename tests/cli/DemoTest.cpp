// The demo script end to end: a fresh profile from samples/demo, the tree, every folder cleaned.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace nubra {
namespace {

TEST(Demo, BuildsTheSampleProfileAndCleansEveryFolder) {
    // The add-in registers itself in a registry file of the test's own.
    const std::string cmd = std::string("NUBRA_DEMO_HEADLESS=1 XDG_CONFIG_HOME=\"$(mktemp -d)\" NUBRASWEEP='") + NUBRASWEEP_BINARY +
                            "' bash '" + NUBRA_SOURCE_DIR + "/scripts/demo' 2>&1";
    std::FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = ::pclose(p);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;

    // One outcome per kind the samples hold, with the numbers the samples were written for.
    for (const std::string expected : {
             "Personal Folders\\Inbox:", "Nubra moved 3 duplicate items to subfolder 'Nubra_Duplicate_Items'",
             "Personal Folders\\Sent Items:", "Nubra moved 2 duplicate items",
             "Personal Folders\\Drafts:", "Nubra moved 1 duplicate items",
             "Personal Folders\\Contacts:", "Nubra moved 3 duplicate items",
             "Personal Folders\\Calendar:", "Nubra moved 2 duplicate items",
             "Personal Folders\\Tasks:", "Nubra moved 2 duplicate items",
             "Nubra has deleted 2 duplicate notes. Notes cannot be moved to a subfolder",
             "Folder Projects is empty", "Folder Outbox is empty",
             "Personal Folders\\Boards:", "Nubra moved 1 duplicate items",
             "Archive Folders\\Old notes:",
         }) {
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    }
    // The skipped store never appears in the tree, so it is never cleaned.
    EXPECT_EQ(out.find("Hotmail\\Inbox:"), std::string::npos) << out;
    EXPECT_EQ(out.find("failed"), std::string::npos) << out;
}

}  // namespace
}  // namespace nubra
