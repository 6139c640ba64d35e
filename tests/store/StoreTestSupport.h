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

ItemData Mail(const std::string& subject);
ItemData Contact(const std::string& first, const std::string& last, const std::string& company,
                 const std::string& email);
ItemData Note(const std::string& body, int32_t color);
ItemData Task(const std::string& subject, int32_t status);
ItemData Appointment(const std::string& subject, const std::string& location, Date start, Date end);

// Runs `f`, expecting AutomationError `number`; returns its description.
std::string ExpectError(int32_t number, const std::function<void()>& f);

}  // namespace nubra::store::test
