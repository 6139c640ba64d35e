// The stores the folder tree leaves out, in a file of its own so that a host can ask the rule
// without taking the tree along.
#include <array>
#include <string>

#include "ui/FolderTree.h"

namespace nubra::ui {

bool IsSkippedStoreName(const std::string& name) {
    // Stores of services that carry no folders worth cleaning (or that break when walked).
    static const std::array<std::string, 4> skipped = {"Hotmail", "MSN", "WinFax", "Business Contact Manager"};
    for (const auto& s : skipped)
        if (name == s) return true;
    return false;
}

}  // namespace nubra::ui
