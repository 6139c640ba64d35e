#include "tests/engine/EngineFixture.h"

#include <sstream>

#include "host/AutomationDates.h"
#include "host/ClassRegistry.h"
#include "standin_host/store/MAPILibrary.h"

namespace nubra::enginetest {

void RangeProgressBar::SetValue(float v) {
    values.push_back(v);
    if (v < min || v > max) {
        ++rejected;
        RaiseError(380);
    }
    value = v;
}

Variant WatchedUtils::GetOneProperty(const ObjectRef& object, int32_t propTag) {
    ++plan_.getOnePropertyCalls;
    if (plan_.Fails("GetOneProperty") && plan_.getOnePropertyCalls >= plan_.getOnePropertyFailFrom) plan_.Raise();
    return real_->GetOneProperty(object, propTag);
}

int32_t WatchedUtils::GetNamedPropertyTag(const ObjectRef& object, const std::string& guid, int16_t id,
                                          bool create) {
    ++namedTagCalls;
    if (plan_.Fails("GetNamedPropertyTag")) plan_.Raise();
    return real_->GetNamedPropertyTag(object, guid, id, create);
}

int SearchObjectCounter::Alive() const {
    int alive = 0;
    for (const auto& w : made) alive += w.expired() ? 0 : 1;
    return alive;
}

namespace {

class WatchedFilter : public mapi::TableFilter {
public:
    WatchedFilter(std::shared_ptr<mapi::TableFilter> real, FaultPlan& plan) : real_(std::move(real)), plan_(plan) {}
    void Clear() override {
        Step("Clear");
        real_->Clear();
    }
    std::shared_ptr<mapi::Restriction> SetKind(int32_t kind) override {
        Step("SetKind");
        return real_->SetKind(kind);
    }
    void Restrict() override {
        Step("Restrict");
        real_->Restrict();
    }
    bool FindFirst(bool forward) override {
        Step("FindFirst");
        return real_->FindFirst(forward);
    }
    bool FindNext(bool forward) override {
        Step("FindNext");
        return real_->FindNext(forward);
    }

private:
    void Step(const char* op) {
        if (plan_.Fails(op)) plan_.Raise();
    }
    std::shared_ptr<mapi::TableFilter> real_;
    FaultPlan& plan_;
};

class WatchedTable : public mapi::MAPITable {
public:
    WatchedTable(std::shared_ptr<mapi::MAPITable> real, FaultPlan& plan, SearchObjectCounter& counter)
        : real_(std::move(real)), plan_(plan), counter_(counter) {}
    void SetItem(const std::shared_ptr<outlook::Items>& items) override {
        Step("SetItem");
        real_->SetItem(items);
    }
    std::shared_ptr<mapi::TableFilter> Filter() override {
        Step("Filter");
        if (!filter_) {
            filter_ = std::make_shared<WatchedFilter>(real_->Filter(), plan_);
            counter_.made.push_back(filter_);
        }
        return filter_;
    }
    void SetColumns(const std::vector<int32_t>& tags) override {
        Step("SetColumns");
        real_->SetColumns(tags);
    }
    void GoToFirst() override {
        Step("GoToFirst");
        real_->GoToFirst();
    }
    Variant GetRow() override {
        Step("GetRow");
        return real_->GetRow();
    }

private:
    void Step(const char* op) {
        if (plan_.Fails(op)) plan_.Raise();
    }
    std::shared_ptr<mapi::MAPITable> real_;
    std::shared_ptr<WatchedFilter> filter_;
    FaultPlan& plan_;
    SearchObjectCounter& counter_;
};

// A table of the store's own class: registering the library again restores its factory.
std::shared_ptr<mapi::MAPITable> RealTable() {
    store::RegisterMAPILibrary();
    return CreateObjectAs<mapi::MAPITable>(mapi::kProgIdMAPITable);
}

class FaultyItem : public outlook::OutlookItem {
public:
    FaultyItem(outlook::ItemRef real, FaultPlan& plan, int& moves) : real_(std::move(real)), plan_(plan), moves_(moves) {}
    int32_t Class() override { return real_->Class(); }
    std::string Subject() override { return real_->Subject(); }
    Date CreationTime() override { return real_->CreationTime(); }
    std::string Location() override { return real_->Location(); }
    std::string FirstName() override { return real_->FirstName(); }
    std::string LastName() override { return real_->LastName(); }
    std::string CompanyName() override { return real_->CompanyName(); }
    int32_t Status() override { return real_->Status(); }
    int32_t Color() override { return real_->Color(); }
    ObjectRef MAPIOBJECT() override { return real_->MAPIOBJECT(); }
    outlook::ItemRef Move(outlook::MAPIFolder& destination) override {
        ++moves_;
        if (plan_.Fails("Move")) plan_.Raise();
        return real_->Move(destination);
    }
    void Delete() override {
        if (plan_.Fails("Delete")) plan_.Raise();
        real_->Delete();
    }
    std::string EntryID() override { return real_->EntryID(); }

private:
    outlook::ItemRef real_;
    FaultPlan& plan_;
    int& moves_;
};

}  // namespace

namespace {
void InstallWatchedTables(FaultPlan& plan, SearchObjectCounter& counter) {
    RegisterClass(mapi::kProgIdMAPITable, [&plan, &counter]() -> ObjectRef {
        auto real = RealTable();
        // RealTable() put the store's class back; the decorator takes its place again.
        InstallWatchedTables(plan, counter);
        if (plan.Fails("CreateTable")) plan.Raise();
        auto table = std::make_shared<WatchedTable>(real, plan, counter);
        counter.made.push_back(table);
        return table;
    });
}
}  // namespace

WatchedTables::WatchedTables(FaultPlan& plan, SearchObjectCounter& counter) { InstallWatchedTables(plan, counter); }

WatchedTables::~WatchedTables() { store::RegisterMAPILibrary(); }

outlook::ItemRef FaultyNameSpace::GetItemFromID(const std::string& entryIdHex, const std::string& storeId) {
    if (plan_.Fails("GetItemFromID")) plan_.Raise();
    return std::make_shared<FaultyItem>(real_->GetItemFromID(entryIdHex, storeId), plan_, moveAttempts);
}

Date At(int hour, int minute, int second) { return dates::MakeDate(2010, 3, 15, hour, minute, second); }

void EngineTest::SetUp() {
    dates::SetRegionalLocale("en_US");
    store::RegisterMAPILibrary();
    profile = store::Profile::Open(tmp.path() / "profile");
    app = profile->Application();
    root = profile->FindFolder(store::kDefaultStoreName);

    goLog = std::make_unique<clsLogging>();
    goLog->LogFile(tmp.str(), "Nubra.log", "", true);
    goErrHandler = std::make_unique<clsErrHandler>();
    utils = std::make_shared<WatchedUtils>(CreateObjectAs<mapi::MAPIUtils>(mapi::kProgIdMAPIUtils), plan);
    goredUtil = utils;
    goOlNameSpace = app->GetNamespace("MAPI");
    gsOlVersion = "2010";
    gsAppTitle = "Nubrasweep";
    Err().Clear();
}

void EngineTest::TearDown() {
    goOlNameSpace.reset();
    goredUtil.reset();
    goErrHandler.reset();
    goLog.reset();
    gsOlVersion.clear();
    store::RegisterMAPILibrary();
}

outlook::FolderRef EngineTest::NewFolder(const std::string& name, int32_t type) {
    return AddFolderTo(root, name, type);
}

outlook::FolderRef EngineTest::AddFolderTo(outlook::FolderRef parent, const std::string& name, int32_t type) {
    return profile->CreateFolder(*parent, name, type);
}

outlook::ItemRef EngineTest::Add(const outlook::FolderRef& folder, const store::ItemData& data) {
    return profile->AddItem(*folder, data);
}

void EngineTest::AddAll(const outlook::FolderRef& folder, const std::vector<store::ItemData>& items) {
    profile->AddItems(*folder, items);
}

std::vector<store::ItemData> EngineTest::Contents(const outlook::FolderRef& folder) {
    std::vector<store::ItemData> out;
    profile->ForEachItem(*folder, [&](const store::ItemRecord& r) { out.push_back(r.data); });
    return out;
}

std::vector<std::string> EngineTest::Subjects(const outlook::FolderRef& folder) {
    std::vector<std::string> out;
    for (const auto& d : Contents(folder)) out.push_back(d.Subject.value_or(""));
    return out;
}

outlook::FolderRef EngineTest::DuplicatesFolder(const outlook::FolderRef& folder) {
    auto subs = folder->Folders();
    for (int32_t i = 1; i <= subs->Count(); ++i) {
        auto f = subs->Item(i);
        if (f->Name() == kDuplicatesFolderName) return f;
    }
    return nullptr;
}

int32_t EngineTest::Scan(const outlook::FolderRef& folder) {
    bar.SetMin(0);
    bar.SetMax(static_cast<float>(folder->Items()->Count()));
    return mon.RemDuplicatesInFld(folder, bar);
}

std::vector<std::string> EngineTest::LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(testing::ReadFile(tmp.path() / "Nubra.log"));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto sep = line.find("  ");
        lines.push_back(sep == std::string::npos ? line : line.substr(sep + 2));
    }
    return lines;
}

int EngineTest::CountLogLines(const std::string& text) const {
    int n = 0;
    for (const auto& line : LogLines()) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

void EngineTest::ClearLog() { std::filesystem::remove(tmp.path() / "Nubra.log"); }

}  // namespace nubra::enginetest
