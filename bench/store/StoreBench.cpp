// The store's costs: one restricted contents-table search as the folder grows (it must stay
// flat, growing only with the logarithm of the folder), reading items by position, importing a
// batch of items, and what the explorer reads for its folder tree and item list.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <algorithm>
#include <map>
#include <span>
#include <random>

#include "host/AutomationDates.h"
#include "host/ClassRegistry.h"
#include "host/MAPIUtils.h"
#include "standin_host/store/ItemSource.h"
#include "standin_host/store/MAPILibrary.h"
#include "standin_host/store/Profile.h"

namespace {

using namespace nubra;
using namespace nubra::store;

std::filesystem::path FreshDir() {
    static std::random_device rd;
    auto p = std::filesystem::temp_directory_path() / ("nubra-bench-" + std::to_string(rd()));
    std::filesystem::remove_all(p);
    return p;
}

const Date kT0 = 44000.5;

std::vector<ItemData> Mails(int n, int offset = 0) {
    std::vector<ItemData> v;
    v.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        ItemData d;
        d.Class = i % 10 == 9 ? 48 : 43;  // some tasks among the mail
        d.Subject = "Subject number " + std::to_string(offset + i);
        d.SentOn = kT0 + (offset + i) / 86400.0;
        d.InternetMessageID = "<" + std::to_string(offset + i) + "@bench.example>";
        d.Body = "Body text of message " + std::to_string(i);
        d.CreationTime = kT0;
        if (d.Class == 48) {
            d.Status = i % 5;
            d.DueDate = kT0 + i % 1000;
        }
        v.push_back(std::move(d));
    }
    return v;
}

// One profile per folder size, made once.
struct Fixture {
    std::filesystem::path dir;
    std::shared_ptr<Profile> profile;
    outlook::FolderRef inbox;
    ~Fixture() {
        inbox.reset();
        profile.reset();
        std::filesystem::remove_all(dir);
    }
};

Fixture& FixtureFor(int n) {
    static std::map<int, std::unique_ptr<Fixture>> fixtures;
    auto& f = fixtures[n];
    if (!f) {
        RegisterMAPILibrary();
        f = std::make_unique<Fixture>();
        f->dir = FreshDir();
        f->profile = Profile::Open(f->dir);
        f->inbox = f->profile->FindFolder("Personal Folders\\Inbox");
        auto items = Mails(n);
        f->profile->AddItems(*f->inbox, items);
    }
    return *f;
}

int Walk(const std::shared_ptr<outlook::Items>& items,
         const std::function<void(mapi::Restriction&)>& build) {
    auto table = CreateObjectAs<mapi::MAPITable>(mapi::kProgIdMAPITable);
    table->SetItem(items);
    auto filter = table->Filter();
    filter->Clear();
    build(*filter->SetKind(mapi::RES_AND));
    table->SetColumns({mapi::PR_ENTRYID, mapi::PR_SUBJECT});
    filter->Restrict();
    table->GoToFirst();
    int rows = 0;
    while (!table->GetRow().IsEmpty()) ++rows;
    return rows;
}

void AddCond(mapi::Restriction& top, int32_t relop, int32_t tag, const Variant& value) {
    auto r = top.Add(mapi::RES_PROPERTY);
    r->SetRelop(relop);
    r->SetPropTag(tag);
    r->SetValue(value);
}

// The mail matcher's search by subject and a two-second submit-time window.
void BM_SearchSubjectAndTime(benchmark::State& state) {
    auto& f = FixtureFor(static_cast<int>(state.range(0)));
    auto items = f.inbox->Items();
    int k = 0;
    for (auto _ : state) {
        int i = (k++ * 7919) % static_cast<int>(state.range(0));
        int rows = Walk(items, [&](mapi::Restriction& top) {
            AddCond(top, mapi::RELOP_EQ, mapi::PR_SUBJECT, "SUBJECT NUMBER " + std::to_string(i));
            Date t = kT0 + i / 86400.0;
            AddCond(top, mapi::RELOP_GE, mapi::PR_CLIENT_SUBMIT_TIME, Variant::FromDate(t - 1 / 86400.0));
            AddCond(top, mapi::RELOP_LE, mapi::PR_CLIENT_SUBMIT_TIME, Variant::FromDate(t + 1 / 86400.0));
        });
        if (rows != 1) state.SkipWithError("wrong row count");
        benchmark::DoNotOptimize(rows);
    }
}
BENCHMARK(BM_SearchSubjectAndTime)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The mail matcher's search by internet message ID.
void BM_SearchMessageId(benchmark::State& state) {
    auto& f = FixtureFor(static_cast<int>(state.range(0)));
    auto items = f.inbox->Items();
    int k = 0;
    for (auto _ : state) {
        int i = (k++ * 7919) % static_cast<int>(state.range(0));
        int rows = Walk(items, [&](mapi::Restriction& top) {
            AddCond(top, mapi::RELOP_EQ, mapi::PR_INTERNET_MESSAGE_ID, "<" + std::to_string(i) + "@bench.example>");
        });
        if (rows != 1) state.SkipWithError("wrong row count");
    }
}
BENCHMARK(BM_SearchMessageId)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Items.Item(i) as the folder scan calls it, over the whole folder.
void BM_ItemByPosition(benchmark::State& state) {
    auto& f = FixtureFor(static_cast<int>(state.range(0)));
    auto items = f.inbox->Items();
    int32_t count = items->Count();
    int32_t i = 0;
    for (auto _ : state) {
        auto item = items->Item(1 + (i++ % count));
        benchmark::DoNotOptimize(item->Class());
    }
}
BENCHMARK(BM_ItemByPosition)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Importing items with one AddItems call (one transaction) per batch: all in one batch, and
// batches of 1,000 as the importer stores them.
void BM_AddItems(benchmark::State& state) {
    RegisterMAPILibrary();
    const auto all = Mails(static_cast<int>(state.range(0)));
    const size_t batch = static_cast<size_t>(state.range(1));
    for (auto _ : state) {
        state.PauseTiming();
        auto dir = FreshDir();
        auto profile = Profile::Open(dir);
        auto folder = profile->FindFolder("Personal Folders\\Inbox");
        state.ResumeTiming();
        for (size_t i = 0; i < all.size(); i += batch)
            profile->AddItems(*folder, std::span<const ItemData>(all).subspan(i, std::min(batch, all.size() - i)));
        state.PauseTiming();
        folder.reset();
        profile.reset();
        std::filesystem::remove_all(dir);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_AddItems)->Args({30000, 30000})->Args({30000, 1000})->Iterations(3)->Unit(benchmark::kMillisecond);

// Moving items one by one within the store, as the scan moves duplicates (one transaction
// each); every item goes to the other folder and back.
void BM_MoveItem(benchmark::State& state) {
    auto& f = FixtureFor(static_cast<int>(state.range(0)));
    auto drafts = f.profile->FindFolder("Personal Folders\\Drafts");
    auto inbox = f.inbox->Items();
    for (auto _ : state) {
        auto item = inbox->Item(1);
        item->Move(*drafts);
        state.PauseTiming();
        item->Move(*f.inbox);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_MoveItem)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The explorer's folder tree counts every folder's unread mail each time it is read again (after
// every change): one query over the whole store.
void BM_UnreadCounts(benchmark::State& state) {
    auto& f = FixtureFor(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto counts = UnreadCounts(*f.inbox);
        if (counts.size() != 1) state.SkipWithError("wrong folder count");
        benchmark::DoNotOptimize(counts);
    }
}
BENCHMARK(BM_UnreadCounts)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The explorer's item list reads the sizes of the folder's items: one query (no source here, so
// each size is the total of the item's property values).
void BM_ItemSizes(benchmark::State& state) {
    auto& f = FixtureFor(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto sizes = ItemSizes(*f.inbox);
        if (sizes.size() != static_cast<size_t>(state.range(0))) state.SkipWithError("wrong item count");
        benchmark::DoNotOptimize(sizes);
    }
}
BENCHMARK(BM_ItemSizes)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
