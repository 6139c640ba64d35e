#include "tests/proof/MixedFolder.h"

#include <algorithm>

#include "host/AutomationDates.h"
#include "host/Outlook.h"
#include "standin_host/store/Profile.h"

namespace nubra::proof {
namespace {

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}
uint64_t Hash(uint32_t seed, uint64_t a, uint64_t b) { return Mix(Mix(seed ^ (a << 8)) ^ b); }

enum Kind { kReceived, kSent, kDraft, kPost, kContact, kAppointment, kTask, kNote, kDistList };

// Shares of each kind in a folder, in percent.
constexpr int kWeights[] = {30, 8, 4, 4, 15, 12, 10, 10, 7};

Kind KindOf(uint32_t seed, int64_t k) {
    int r = static_cast<int>(Hash(seed, static_cast<uint64_t>(k), 1) % 100);
    for (int i = 0; i < 9; ++i) {
        if (r < kWeights[i]) return static_cast<Kind>(i);
        r -= kWeights[i];
    }
    return kDistList;
}

const Date kBase = dates::MakeDate(2012, 1, 1);
Date Minutes(double m) { return kBase + m / 1440.0; }

// Original number k: a pure function of the seed and k, so copies are made again from it
// without keeping the folder in memory.
store::ItemData Original(uint32_t seed, int64_t k) {
    const std::string s = std::to_string(k);
    store::ItemData d;
    switch (KindOf(seed, k)) {
        case kReceived:
            d.Class = outlook::olMail;
            d.InternetMessageID = "<" + s + "." + std::to_string(seed) + "@mixed.example>";
            d.Subject = "Order " + s + " confirmed";
            d.SentOn = Minutes(static_cast<double>(k) - 30);
            d.SenderName = "Shop " + std::to_string(k % 13);
            d.Body = "Your order " + s + " ships soon.\r\n";
            break;
        case kSent:
            d.Class = outlook::olMail;
            d.Subject = "Report " + s;
            d.SentOn = Minutes(static_cast<double>(k) - 10);
            d.To = "boss@mixed.example";
            break;
        case kDraft:
            d.Class = outlook::olMail;
            d.Subject = "Draft " + s;
            break;
        case kPost:
            d.Class = outlook::olPost;
            d.Subject = "Post " + s;
            d.SentOn = Minutes(static_cast<double>(k) - 5);
            break;
        case kContact:
            d.Class = outlook::olContact;
            d.FirstName = "Ann" + s;
            d.LastName = "Lee" + s;
            d.CompanyName = k % 3 ? "Acme" : "";
            d.Email1Address = k % 4 ? "ann" + s + "@mixed.example" : "";
            break;
        case kAppointment:
            d.Class = outlook::olAppointment;
            d.Subject = "Meeting " + s;
            d.Location = "Room " + std::to_string(k % 7);
            d.Start = Minutes(static_cast<double>(k) * 60);
            d.End = Minutes(static_cast<double>(k) * 60 + 45);
            break;
        case kTask:
            d.Class = outlook::olTask;
            d.Subject = "Task " + s;
            d.Status = static_cast<int32_t>(k % 5);
            d.StartDate = kBase + static_cast<double>(k % 400);
            d.DueDate = kBase + static_cast<double>(k % 400 + 3);
            break;
        case kNote:
            d.Class = outlook::olNote;
            d.Body = "Note " + s + "\r\nremember " + s;
            d.Color = static_cast<int32_t>(k % 5);
            break;
        case kDistList:
            d.Class = outlook::olDistributionList;
            d.Subject = "List " + s;
            break;
    }
    return d;
}

// A look-alike of an original that must not be matched with it.
store::ItemData NearMiss(store::ItemData d, int64_t k) {
    const std::string s = std::to_string(k);
    switch (d.Class) {
        case outlook::olContact:
            if (k % 2)
                d.LastName = "LEE" + s;  // letter case counts
            else
                d.Email1Address = d.Email1Address->empty() ? "other" + s + "@mixed.example" : "";
            break;
        case outlook::olNote: d.Color = (*d.Color + 1) % 5; break;
        case outlook::olAppointment: *d.Start += 1.0 / 1440; break;
        case outlook::olTask: d.Status = (*d.Status + 1) % 5; break;
        case outlook::olDistributionList: break;  // never matched, however alike
        default:
            if (d.InternetMessageID)
                d.InternetMessageID = "<other" + s + "@mixed.example>";
            else
                d.Subject = *d.Subject + " (2)";
            break;
    }
    return d;
}

// Streams the folder position by position.
class Stream {
public:
    explicit Stream(uint32_t seed) : seed_(seed) {}

    store::ItemData Next(int64_t pos, MixedFolder& counts) {
        const int r = static_cast<int>(Hash(seed_, static_cast<uint64_t>(pos), 2) % 100);
        store::ItemData d;
        // A near-miss looks like the newest original, once: two alike would match each other.
        const bool nearMiss = r >= 10 && r < 13 && originals_ > 0 && nearMissOf_ != originals_ - 1;
        if (originals_ > 0 && (r < 10 || nearMiss)) {
            const int64_t k = nearMiss ? originals_ - 1
                                       : static_cast<int64_t>(Hash(seed_, static_cast<uint64_t>(pos), 3) %
                                                              static_cast<uint64_t>(originals_));
            d = Original(seed_, k);
            if (r < 10) {
                if (d.Class == outlook::olDistributionList)
                    ++counts.nearMisses;
                else
                    ++counts.duplicates;
                // A forwarded copy of a received mail keeps its message ID under another subject.
                if (d.InternetMessageID && r % 3 == 0) d.Subject = "FW: " + *d.Subject;
                // One copy in five is the older one: then the original is what moves.
                d.CreationTime = r % 5 == 1 ? Minutes(static_cast<double>(k) - 120 - pos % 7)
                                            : Minutes(static_cast<double>(pos) + 0.5);
            } else {
                d = NearMiss(std::move(d), k);
                nearMissOf_ = k;
                ++counts.nearMisses;
                d.CreationTime = Minutes(static_cast<double>(pos) + 0.25);
            }
        } else {
            d = Original(seed_, originals_);
            d.CreationTime = Minutes(static_cast<double>(originals_));
            ++originals_;
        }
        return d;
    }

private:
    uint32_t seed_;
    int64_t originals_ = 0;
    int64_t nearMissOf_ = -1;
};

}  // namespace

MixedFolder MakeMixedFolder(int64_t n, uint32_t seed) {
    MixedFolder f;
    f.items.reserve(static_cast<size_t>(std::max<int64_t>(n, 0)));
    Stream stream(seed);
    for (int64_t p = 0; p < n; ++p) f.items.push_back(stream.Next(p, f));
    return f;
}

int64_t FillMixedProfile(const std::filesystem::path& dir, const std::string& folderName, int64_t n,
                         uint32_t seed) {
    auto profile = store::Profile::Open(dir);
    auto root = profile->FindFolder(store::kDefaultStoreName);
    auto folder = profile->CreateFolder(*root, folderName, outlook::olMailItem);
    MixedFolder counts;
    Stream stream(seed);
    std::vector<store::ItemData> batch;
    constexpr int64_t kBatch = 20000;
    for (int64_t p = 0; p < n; ++p) {
        batch.push_back(stream.Next(p, counts));
        if (static_cast<int64_t>(batch.size()) == kBatch || p + 1 == n) {
            profile->AddItems(*folder, batch);
            batch.clear();
        }
    }
    return counts.duplicates;
}

}  // namespace nubra::proof
