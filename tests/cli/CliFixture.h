// Runs the nubrasweep program as a user does, in a scratch profile, registry, history and cache
// of the test's own, and collects what it prints and returns.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/TestEnv.h"

namespace nubra::clitest {

struct Result {
    int exit = -1;
    std::string out;
    std::string err;
};

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class Cli : public ::testing::Test {
protected:
    // Runs nubrasweep with the test's profile (unless `withProfile` is false).
    // `prefix` goes before the program (a command that runs it, e.g. as another user), `suffix`
    // after its arguments (a redirection of its output).
    Result Run(const std::vector<std::string>& args, bool withProfile = true, const std::string& prefix = "",
               const std::string& suffix = "") {
        std::string cmd = prefix + " " + Command(args, withProfile);
        const auto errFile = dir.path() / "stderr.txt";
        cmd += " " + suffix + " 2>" + Quote(errFile.string());
        Result r;
        std::FILE* p = ::popen(cmd.c_str(), "r");
        if (!p) return r;
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
        const int status = ::pclose(p);
        r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.err = testing::ReadFile(errFile);
        return r;
    }
    // The shell command that runs nubrasweep with `args`.
    std::string Command(const std::vector<std::string>& args, bool withProfile = true) {
        // The add-in is registered in the test's own registry file.
        // Registry, history and dry-run snapshots in the test's own folders.
        std::string cmd = "env NUBRA_COMMON_APPDATA=" + Quote(dir.str()) + " XDG_CONFIG_HOME=" +
                          Quote((dir.path() / "config").string()) + " XDG_STATE_HOME=" +
                          Quote((dir.path() / "state").string()) + " XDG_CACHE_HOME=" +
                          Quote((dir.path() / "cache").string()) + " " + Quote(NUBRASWEEP_BINARY);
        if (withProfile) cmd += " --profile " + Quote(Profile());
        for (const auto& a : args) cmd += " " + Quote(a);
        return cmd;
    }
    Result MustRun(const std::vector<std::string>& args) {
        Result r = Run(args);
        EXPECT_EQ(r.exit, 0) << "nubrasweep " << ::testing::PrintToString(args) << "\n" << r.err;
        return r;
    }
    std::string Profile() const { return (dir.path() / "profile").string(); }
    std::string WriteFile(const std::string& name, const std::string& content) {
        const auto file = dir.path() / name;
        std::ofstream(file, std::ios::binary) << content;
        return file.string();
    }
    // The items of a folder as JSON Lines without their entry IDs.
    std::vector<std::string> Export(const std::string& path) {
        std::vector<std::string> lines;
        for (auto line : Lines(MustRun({"list", path, "--json"}).out)) {
            auto pos = line.find(",\"EntryID\":");
            EXPECT_NE(pos, std::string::npos) << line;
            if (pos != std::string::npos) line = line.substr(0, pos) + "}";
            lines.push_back(line);
        }
        return lines;
    }

    testing::TempDir dir;
};

}  // namespace nubra::clitest
