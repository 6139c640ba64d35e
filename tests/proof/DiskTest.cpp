// A store on a file system that fills during a scan, and a log that cannot be written: the
// scan completes, nothing is lost, the store stays readable, every lost log entry is shown.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <algorithm>
#include <fstream>

#include "host/AutomationDates.h"
#include "tests/engine/EngineFixture.h"
#include "tests/proof/MixedFolder.h"

namespace nubra::proof {
namespace {

using enginetest::EngineTest;
namespace fs = std::filesystem;

std::vector<std::string> IdsOf(store::Profile& p, const std::string& path) {
    std::vector<std::string> ids;
    try {
        auto f = p.FindFolder(path);
        p.ForEachItem(*f, [&](const store::ItemRecord& r) { ids.push_back(r.entryIdHex); });
    } catch (const AutomationError&) {
    }
    return ids;
}

class Disk : public EngineTest {};

TEST_F(Disk, AStoreOnAFullFileSystemLosesNothingAndStaysReadable) {
    const fs::path mnt = tmp.path() / "small";
    fs::create_directories(mnt);
    if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=8m") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        fs::path dir;
        ~Unmount() { ::umount2(dir.c_str(), MNT_DETACH); }
    } unmount{mnt};

    const auto mixed = MakeMixedFolder(3000, 5);
    auto p = store::Profile::Open(mnt / "profile");
    auto fld = p->CreateFolder(*p->FindFolder(store::kDefaultStoreName), "Mixed", outlook::olMailItem);
    p->AddItems(*fld, mixed.items);
    auto before = IdsOf(*p, "Personal Folders\\Mixed");
    // With the store open, fill the rest of the file system: the scan's writes find it full.
    {
        std::ofstream ballast(mnt / "ballast", std::ios::binary);
        const std::string block(64 * 1024, 'x');
        while (ballast.write(block.data(), block.size())) {
        }
    }
    auto a = p->Application();
    goOlNameSpace = a->GetNamespace("MAPI");
    bar.SetMin(0);
    bar.SetMax(static_cast<float>(mixed.items.size()));
    int32_t removed = -1;
    EXPECT_NO_THROW(removed = mon.RemDuplicatesInFld(fld, bar));
    EXPECT_TRUE(Logged("clsFldMon.RemDuplicatesInFld: READY removing duplicates from folder Mixed"));
    EXPECT_TRUE(Logged("ignored while moving item. Item is deleted"));

    auto after = IdsOf(*p, "Personal Folders\\Mixed");
    const auto dups = IdsOf(*p, "Personal Folders\\Mixed\\Nubra_Duplicate_Items");
    const auto deleted = IdsOf(*p, "Personal Folders\\Deleted Items");
    const size_t gone = dups.size() + deleted.size();
    after.insert(after.end(), dups.begin(), dups.end());
    after.insert(after.end(), deleted.begin(), deleted.end());
    std::sort(after.begin(), after.end());
    std::sort(before.begin(), before.end());
    EXPECT_EQ(after, before);
    EXPECT_LT(gone, static_cast<size_t>(mixed.duplicates));
    EXPECT_EQ(removed, static_cast<int32_t>(gone));  // what failed is not reported removed

    // Readable and sound, also once space is back; a second scan then finishes the job.
    goOlNameSpace.reset();
    fld.reset();
    a.reset();
    p.reset();
    fs::remove(mnt / "ballast");
    p = store::Profile::Open(mnt / "profile");
    EXPECT_TRUE(p->CheckIntegrity().ok());
    a = p->Application();
    goOlNameSpace = a->GetNamespace("MAPI");
    fld = p->FindFolder("Personal Folders\\Mixed");
    mon.RemDuplicatesInFld(fld, bar);
    EXPECT_EQ(IdsOf(*p, "Personal Folders\\Mixed").size(), mixed.items.size() - mixed.duplicates);
}

TEST_F(Disk, ALogThatCannotBeWrittenShowsEachEntryAndTheScanCompletes) {
    // The log's folder replaced by a regular file: no entry can be written, even by root.
    const fs::path blocker = tmp.path() / "logs";
    goLog = std::make_unique<clsLogging>();
    goLog->LogFile(blocker.string(), "Nubra.log", "", true);
    fs::remove_all(blocker);
    std::ofstream(blocker) << "x";
    platform.Clear();

    auto fld = NewFolder("Mixed");
    const auto mixed = MakeMixedFolder(200, 9);
    AddAll(fld, mixed.items);
    EXPECT_EQ(Scan(fld), mixed.duplicates);
    ASSERT_FALSE(platform.boxes.empty());
    const std::string head = "Writing of an entry in the errorlogfile '" + blocker.string();
    bool sawReady = false;
    for (const auto& box : platform.boxes) {
        EXPECT_EQ(box.prompt.rfind(head, 0), 0u) << box.prompt;
        EXPECT_NE(box.prompt.find("' has failed\r\n\r\nThe following entry could not be written:\r\n"),
                  std::string::npos);
        sawReady |= box.prompt.find("READY removing duplicates from folder Mixed") != std::string::npos;
    }
    EXPECT_TRUE(sawReady);
    // One box per entry: the opening line, two per group (three for notes' groups less one), the closing line.
    EXPECT_GE(platform.boxes.size(), static_cast<size_t>(2 + mixed.duplicates));
}

}  // namespace
}  // namespace nubra::proof
