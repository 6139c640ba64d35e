// list: a folder's items in folder order, as a table or as JSON Lines.
#include <iostream>
#include <sstream>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/Output.h"
#include "standin_host/cli/StoreNames.h"
#include "standin_host/cli/TerminalControls.h"
#include "standin_host/formats/JsonLines.h"
#include "standin_host/store/Profile.h"

namespace nubra::cli {
namespace {

// The fields each kind is matched on, so a listing shows why two items count as duplicates.
std::string Details(const store::ItemData& d) {
    std::ostringstream out;
    switch (d.Class) {
        case outlook::olMail:
        case outlook::olPost:
            if (d.InternetMessageID) out << "id " << *d.InternetMessageID;
            else if (d.SentOn) out << "sent " << store::UtcText(d.SentOn);
            else out << "unsent";
            break;
        case outlook::olContact:
            if (d.CompanyName) out << *d.CompanyName;
            if (d.Email1Address) out << (d.CompanyName ? ", " : "") << *d.Email1Address;
            break;
        case outlook::olAppointment:
            out << store::UtcText(d.Start) << " - " << store::UtcText(d.End);
            if (d.Location) out << " @ " << *d.Location;
            break;
        case outlook::olTask:
            out << "status " << (d.Status ? std::to_string(*d.Status) : "-") << ", start " << store::UtcText(d.StartDate)
                << ", due " << store::UtcText(d.DueDate);
            break;
        case outlook::olNote:
            out << "color " << (d.Color ? std::to_string(*d.Color) : "-");
            break;
        default: break;
    }
    return out.str();
}

int Run(Invocation& in) {
    const std::string path = in.args.Value("PATH");
    const auto profile = in.Profile(Opening::ReadOnly);
    auto folder = FindFolder(*profile, path);
    if (in.args.Flag("--json")) {
        profile->ForEachItem(*folder, [](const store::ItemRecord& r) {
            std::cout << formats::ItemToJsonLine(r.data, r.entryIdHex) << "\n";
            if (!std::cout) CheckOutput();  // stop at once, not after the last item
        });
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"#", "Class", "Created (UTC)", "Subject / name", "Details"});
    int n = 0;
    // The table shows what the cache holds: a connected store's messages are not fetched.
    profile->ForEachItem(
        *folder,
        [&](const store::ItemRecord& r) {
            rows.push_back({std::to_string(++n), store::KindName(r.data.Class), store::UtcText(r.data.CreationTime),
                            Printable(store::TitleOf(r.data)), Printable(Details(r.data))});
        },
        store::Profile::Reading::CachedProperties);
    PrintTable(rows);
    std::cout << n << " item" << (n == 1 ? "" : "s") << " in " << Printable(path) << "\n";
    return kExitOk;
}

}  // namespace

CommandSpec ListCommand() {
    using Kind = OptionSpec::Kind;
    return {.name = "list",
            .summary = "List the items of a folder in folder order",
            .options = {{.kind = Kind::Positional,
                         .name = "PATH",
                         .help = "Folder path",
                         .required = true,
                         .names = OptionSpec::Names::Folder},
                        {.kind = Kind::Flag,
                         .name = "--json",
                         .help = "Write JSON Lines (with EntryID), which 'import' reads back"}},
            .run = Run};
}

}  // namespace nubra::cli
