// What the engine tests share: a fresh profile of the real store per test with the add-in's
// globals set over it, a progress bar that enforces its range, the log's lines, item data
// builders, and decorators over the contracts that can be made to fail or that watch whether
// the engine releases its search objects.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "globals/NubraGlobals.h"
#include "engine/clsFldMon.h"
#include "host/Controls.h"
#include "host/MAPIUtils.h"
#include "host/Outlook.h"
#include "standin_host/store/ItemData.h"
#include "tests/support/Items.h"
#include "standin_host/store/Profile.h"
#include "tests/support/MemoryProgressBar.h"
#include "tests/support/RecordingPlatform.h"
#include "tests/support/TestEnv.h"

namespace nubra::enginetest {

// A progress bar with the dialog's behaviour: values outside [Min, Max] raise 380.
class RangeProgressBar : public testing::MemoryProgressBar {
public:
    void SetValue(float v) override;

    std::vector<float> values;  // every value set
    int rejected = 0;           // values refused because they were out of range
};

// Failures the decorators inject, by operation name ("Restrict", "FindFirst", "FindNext",
// "GetRow", "SetColumns", "GetItemFromID", "Move", "Delete", "GetOneProperty", ...).
struct FaultPlan {
    std::set<std::string> failing;
    int32_t number = errnum::kMapiCallFailed;
    std::string description = "injected failure";
    // GetOneProperty fails only from this call on (1-based), when set.
    int getOnePropertyFailFrom = 1;
    int getOnePropertyCalls = 0;

    bool Fails(const std::string& op) const { return failing.count(op) > 0; }
    void Raise() const { RaiseError(number, description); }
};

// The MAPI utility library's MAPIUtils with injectable failures and a Cleanup counter.
class WatchedUtils : public mapi::MAPIUtils {
public:
    WatchedUtils(std::shared_ptr<mapi::MAPIUtils> real, FaultPlan& plan) : real_(std::move(real)), plan_(plan) {}
    Variant GetOneProperty(const ObjectRef& object, int32_t propTag) override;
    int32_t GetNamedPropertyTag(const ObjectRef& object, const std::string& guid, int16_t id, bool create) override;
    std::string BinaryToHex(const Variant& value) override { return real_->BinaryToHex(value); }
    void Cleanup() override {
        ++cleanups;
        real_->Cleanup();
    }
    int cleanups = 0;
    int namedTagCalls = 0;

private:
    std::shared_ptr<mapi::MAPIUtils> real_;
    FaultPlan& plan_;
};

// Counts the search objects alive: tables and filters made through the registered ProgID.
struct SearchObjectCounter {
    std::vector<std::weak_ptr<Object>> made;
    int Alive() const;
};

// Replaces the table class with a decorator that injects failures and counts instances;
// restores the store's class when it goes.
class WatchedTables {
public:
    WatchedTables(FaultPlan& plan, SearchObjectCounter& counter);
    ~WatchedTables();
};

// The namespace with items whose Move and Delete can be made to fail. Only for items the
// engine does not hand to the library (mail rows are taken as they are).
class FaultyNameSpace : public outlook::NameSpace {
public:
    FaultyNameSpace(std::shared_ptr<outlook::NameSpace> real, FaultPlan& plan) : real_(std::move(real)), plan_(plan) {}
    std::shared_ptr<outlook::Application> Application() override { return real_->Application(); }
    std::shared_ptr<outlook::Folders> Folders() override { return real_->Folders(); }
    outlook::ItemRef GetItemFromID(const std::string& entryIdHex, const std::string& storeId) override;
    outlook::FolderRef GetFolderFromID(const std::string& entryIdHex, const std::string& storeId) override {
        return real_->GetFolderFromID(entryIdHex, storeId);
    }
    int moveAttempts = 0;

private:
    std::shared_ptr<outlook::NameSpace> real_;
    FaultPlan& plan_;
};

// Item data: the builders of tests/support/Items.h; times on one day.
Date At(int hour, int minute, int second = 0);  // on 15 March 2010
using testing::Appointment;
using testing::Contact;
using testing::DistributionList;
using testing::Note;
using testing::ReceivedMail;
using testing::SentMail;
using testing::Task;
using testing::UnsentMail;

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new subfolder of the store's top-level folder for items of `type`.
    outlook::FolderRef NewFolder(const std::string& name, int32_t type = outlook::olMailItem);
    outlook::FolderRef AddFolderTo(outlook::FolderRef parent, const std::string& name, int32_t type);
    outlook::ItemRef Add(const outlook::FolderRef& folder, const store::ItemData& data);
    void AddAll(const outlook::FolderRef& folder, const std::vector<store::ItemData>& items);

    // The folder's items as the store reads them back, in folder order.
    std::vector<store::ItemData> Contents(const outlook::FolderRef& folder);
    std::vector<std::string> Subjects(const outlook::FolderRef& folder);
    // The duplicates subfolder, or nullptr.
    outlook::FolderRef DuplicatesFolder(const outlook::FolderRef& folder);
    int32_t Count(const outlook::FolderRef& folder) { return folder->Items()->Count(); }

    // Runs the scan with a progress bar set up as the dialog does.
    int32_t Scan(const outlook::FolderRef& folder);

    // The log's entries without their timestamps.
    std::vector<std::string> LogLines() const;
    int CountLogLines(const std::string& text) const;  // entries that contain `text`
    bool Logged(const std::string& text) const { return CountLogLines(text) > 0; }
    void ClearLog();

    testing::TempDir tmp;
    testing::RecordingPlatform platform;
    std::shared_ptr<store::Profile> profile;
    std::shared_ptr<outlook::Application> app;
    outlook::FolderRef root;
    std::shared_ptr<WatchedUtils> utils;
    FaultPlan plan;
    clsFldMon mon;
    RangeProgressBar bar;
};

}  // namespace nubra::enginetest
