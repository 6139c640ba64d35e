#include "standin_host/formats/MaildirTree.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/Automation.h"

namespace nubra::formats {

namespace {

constexpr const char* kSource = "NubraFiles";

std::string Join(const std::string& dir, const std::string& name) { return dir.empty() ? name : dir + "/" + name; }

bool HoldsMail(int dir) { return TreeDir::IsDir(dir, "cur") || TreeDir::IsDir(dir, "new"); }

std::string LinkWarning(const TreeDir& tree, const MaildirNaming& naming, const std::string& rel) {
    return naming.linkWarning ? naming.linkWarning(tree.Shown(rel))
                              : "\"" + tree.Shown(rel).string() + "\" is a link; not followed";
}

void SortByName(std::vector<TreeDir::Entry>& entries) {
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
}

// The Maildir++ folders: ".A.B" is B inside A.
void DotFolders(const TreeDir& tree, const std::vector<TreeDir::Entry>& entries, const MaildirNaming& naming,
                std::vector<MaildirFolder>& out, std::vector<std::string>& warnings) {
    for (const auto& e : entries) {
        if (e.name.size() < 2 || e.name[0] != '.' || e.name == "..") continue;
        if (e.type == DT_LNK) {
            warnings.push_back(LinkWarning(tree, naming, e.name));
            continue;
        }
        if (e.type != DT_DIR || !tree.IsMaildir(e.name)) continue;
        MaildirFolder f{e.name, {}, true};
        for (size_t start = 1; start <= e.name.size();) {
            size_t dot = e.name.find('.', start);
            if (dot == std::string::npos) dot = e.name.size();
            if (dot > start) f.names.push_back(e.name.substr(start, dot - start));
            start = dot + 1;
        }
        if (f.names.empty()) continue;
        if (f.names.size() > naming.maxDepth) {
            warnings.push_back("\"" + tree.Shown(e.name).string() + "\" is nested too deeply; not read");
            continue;
        }
        if (naming.topIsInbox && f.names.size() > 1 && f.names[0] == "INBOX") f.names[0] = "Inbox";
        out.push_back(std::move(f));
    }
}

// The nested maildirs below `dir`, depth first.
void Walk(const TreeDir& tree, const std::string& dir, const std::vector<std::string>& names,
          const std::vector<TreeDir::Entry>& entries, bool rootMail, const MaildirNaming& naming,
          std::vector<MaildirFolder>& out, size_t depth, std::vector<std::string>& warnings) {
    for (const auto& e : entries) {
        if (e.name == "cur" || e.name == "new" || e.name == "tmp" || e.name[0] == '.') continue;
        const std::string rel = Join(dir, e.name);
        if (e.type == DT_LNK) {
            warnings.push_back(LinkWarning(tree, naming, rel));
            continue;
        }
        if (e.type != DT_DIR) continue;
        if (depth >= naming.maxDepth) {
            warnings.push_back("\"" + tree.Shown(rel).string() + "\" is nested too deeply; not read");
            continue;
        }
        std::vector<TreeDir::Entry> sub;
        int error = 0;
        const UniqueFd at = tree.Open(rel, error);
        if (!at || !TreeDir::List(at.Get(), sub, error)) {
            const std::string why = "cannot read \"" + tree.Shown(rel).string() + "\": " +
                                    (error == ELOOP ? "it is a link; not followed" : std::strerror(error));
            if (naming.strict) RaiseError(errnum::kMapiNoAccess, why, kSource);
            warnings.push_back(why);
            continue;
        }
        SortByName(sub);
        auto childNames = names;
        // The duplicates folder of a top maildir sits beside the other folders.
        if (dir.empty() && rootMail && naming.topIsInbox && e.name == naming.duplicatesName) childNames.push_back("Inbox");
        childNames.push_back(e.name);
        const size_t before = out.size();
        out.push_back({rel, childNames, HoldsMail(at.Get())});
        Walk(tree, rel, childNames, sub, rootMail, naming, out, depth + 1, warnings);
        // A folder that is neither a maildir nor holds one is no folder of mail.
        if (!out[before].holdsMail && out.size() == before + 1) out.pop_back();
    }
}

std::vector<TreeDir::Entry> TopEntries(const TreeDir& tree, int top) {
    std::vector<TreeDir::Entry> entries;
    int error = 0;
    if (!TreeDir::List(top, entries, error))
        RaiseError(errnum::kMapiNoAccess, "cannot read the Maildir \"" + tree.Top().string() + "\": " + std::strerror(error),
                   kSource);
    SortByName(entries);
    return entries;
}

}  // namespace

const char* LayoutName(MaildirLayoutKind kind) {
    return kind == MaildirLayoutKind::MaildirPlusPlus ? "Maildir++" : "nested";
}

MaildirLayoutKind DetectMaildirLayout(const TreeDir& tree) {
    const UniqueFd top = tree.Require("");
    bool nested = false;
    for (const auto& e : TopEntries(tree, top.Get())) {
        if (e.type != DT_DIR) continue;
        if (e.name[0] == '.' && tree.IsMaildir(e.name)) return MaildirLayoutKind::MaildirPlusPlus;
        if (nested || e.name == "cur" || e.name == "new" || e.name == "tmp" || e.name[0] == '.') continue;
        // A maildir anywhere below (two levels are enough to tell).
        nested = tree.IsMaildir(e.name);
        int ignored = 0;
        std::vector<TreeDir::Entry> sub;
        if (const UniqueFd at = tree.Open(e.name, ignored); !nested && at && TreeDir::List(at.Get(), sub, ignored))
            for (const auto& s : sub) nested = nested || (s.type == DT_DIR && tree.IsMaildir(Join(e.name, s.name)));
    }
    if (nested) return MaildirLayoutKind::Nested;
    if (HoldsMail(top.Get())) return MaildirLayoutKind::MaildirPlusPlus;
    RaiseError(errnum::kMapiInvalidParameter,
               "\"" + tree.Top().string() + "\" is no Maildir (no cur/ and new/, and no maildir folders in it)", kSource);
}

std::vector<MaildirFolder> ListMaildirFolders(const TreeDir& tree, MaildirLayoutKind layout, const MaildirNaming& naming,
                                              std::vector<std::string>& warnings) {
    std::vector<MaildirFolder> out;
    const UniqueFd top = tree.Require("");
    const auto entries = TopEntries(tree, top.Get());
    const bool rootMail = HoldsMail(top.Get());
    if (rootMail) out.push_back({"", naming.topIsInbox ? std::vector<std::string>{"Inbox"} : std::vector<std::string>{}, true});
    if (layout == MaildirLayoutKind::MaildirPlusPlus) DotFolders(tree, entries, naming, out, warnings);
    else Walk(tree, "", {}, entries, rootMail, naming, out, 0, warnings);
    if (out.empty())
        RaiseError(errnum::kMapiNotFound, "\"" + tree.Top().string() + "\" holds no maildir any more", kSource);
    // Parents before children, so that each folder's parent exists when it is made.
    std::stable_sort(out.begin(), out.end(),
                     [](const MaildirFolder& a, const MaildirFolder& b) { return a.names.size() < b.names.size(); });
    return out;
}

}  // namespace nubra::formats
