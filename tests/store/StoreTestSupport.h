// Temporary profiles and small helpers shared by the store tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "host/MAPIUtils.h"
#include "standin_host/store/ItemData.h"
#include "standin_host/store/Profile.h"
#include "tests/support/Items.h"

namespace nubra::store::test {

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    // Drops every reference and opens the profile again from its files.
    void Reopen();
    outlook::FolderRef Folder(const std::string& path) { return profile->FindFolder(path); }

    TempDir dir;
    std::shared_ptr<Profile> profile;
};

using nubra::testing::Appointment;
using nubra::testing::Contact;
using nubra::testing::Mail;
using nubra::testing::Note;
using nubra::testing::Task;

// Runs `f`, expecting AutomationError `number`; returns its description.
std::string ExpectError(int32_t number, const std::function<void()>& f);

}  // namespace nubra::store::test
