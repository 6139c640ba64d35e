// Mixed folders as users have them: every kind of item the engine matches, distribution
// lists, one item in ten a copy of an earlier one with the variations real copies carry, and
// near-misses that look like copies but must stay. Shared by the proof tests, the benchmarks
// and the profile filler used by the scripts.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "standin_host/store/ItemData.h"

namespace nubra::proof {

struct MixedFolder {
    std::vector<store::ItemData> items;
    // How many of `items` a scan removes: one per copy of a matchable item.
    int64_t duplicates = 0;
    // Copies the engine must leave (distribution lists) and near-misses of every kind.
    int64_t nearMisses = 0;
};

// `n` items (n >= 0) drawn from `seed`: the same seed gives the same folder. Roughly 10% are
// copies (other creation time, received mails with another subject under the same message
// ID, reordered), and a further few percent near-misses (a contact whose last name differs
// in letter case or whose e-mail address is blank, a note of another colour, an appointment
// one minute later, a mail with the same subject but another message ID).
MixedFolder MakeMixedFolder(int64_t n, uint32_t seed);

// A profile in `dir` whose "Personal Folders\<folderName>" (created as a mail folder) holds
// MakeMixedFolder(n, seed), written in batches so that a million items fit in memory.
// Returns the folder's duplicates count.
int64_t FillMixedProfile(const std::filesystem::path& dir, const std::string& folderName, int64_t n,
                         uint32_t seed);

}  // namespace nubra::proof
