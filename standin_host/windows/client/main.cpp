// NubraTestClient: plays the desktop mail client for the add-in under test. It reads a store
// from JSON Lines (samples/demo's layout), serves the client's object model over it, loads the
// add-ins registered for the user as the client does, runs one scenario and checks what came
// of it. Exits 0 when every check held; otherwise prints each difference and exits 1.
//
//   NubraTestClient [--store DIR] [--fail-member NAME --fail-subject TEXT] SCENARIO [ARGS]
//     registered            the add-in's key and values are in the user's registry
//     unregistered          no add-in key is left
//     menu                  the add-in's menu entry appears on "Menu bar"
//     click                 its Click opens the dialog
//     clean FOLDER...       the dialog cleans each folder in turn; with --expect FILE the
//                           removals (and outcome texts) are compared with FILE, with
//                           --log-expect FILE the lines of Nubra.log with FILE
//     error FOLDER          a run over FOLDER meets the planted failure: member NAME (Subject,
//                           Class, Move, Delete, MAPIOBJECT) of the items with subject TEXT raises;
//                           the add-in's message box must show --box-text TEXT
// --timeout SECONDS (55) ends a scenario that hangs, as a failure.
// Every scenario but the registry ones ends with the add-in's shutdown and the checks that it
// released every object of ours and that its module may be unloaded.
#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <shlobj.h>

#include "standin_host/windows/client/AddinHost.h"
#include "standin_host/windows/client/DialogDriver.h"
#include "standin_host/windows/client/ObjectModel.h"
#include "standin_host/windows/client/Store.h"

using namespace nubra;
using namespace nubra::winclient;

namespace {

constexpr const char* kProgId = "Nubra.Addinconnect";
constexpr const char* kDuplicatesFolder = "Nubra_Duplicate_Items";

struct Options {
    std::string store = "samples/demo";
    std::string scenario;
    std::vector<std::string> folders;
    std::string expect, logExpect, boxText, failSubject, failMember = "Subject";
    int timeoutSeconds = 55;
};

// Control characters and bytes outside ASCII as \xNN, so that a difference shows.
std::string Visible(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

class Checks {
public:
    void Expect(bool ok, const std::string& what) {
        std::cout << (ok ? "ok:   " : "FAIL: ") << what << "\n";
        if (!ok) ++failed_;
    }
    void Note(const std::string& what) { std::cout << "      " << what << "\n"; }
    int Failed() const { return failed_; }

private:
    int failed_ = 0;
};

std::string KindName(int32_t cls) {
    switch (cls) {
        case kOlMail: return "mail";
        case kOlPost: return "post";
        case kOlContact: return "contact";
        case kOlAppointment: return "appointment";
        case kOlTask: return "task";
        case kOlNote: return "note";
        case kOlDistList: return "distlist";
        case kOlJournal: return "journal";
        default: return std::to_string(cls);
    }
}

// What a person recognises the item by (as the Linux listing names it).
std::string TitleOf(const Item& item) {
    std::string title;
    if (item.Class() == kOlContact) {
        title = item.Text(kPrDisplayName);
        if (title.empty()) title = item.Text(kPrGivenName) + " " + item.Text(kPrSurname);
    } else {
        title = item.Text(kPrSubject);
    }
    return title.substr(0, title.find_first_of("\r\n"));
}

std::string Row(const std::string& folder, const char* what, const Item& item) {
    const Value* created = item.Prop(kPrCreationTime);
    return folder + "\t" + what + "\t" + KindName(item.Class()) + "\t" + (created ? UtcText(created->integer) : "-") +
           "\t" + TitleOf(item);
}

// Lines of a file without comments and blank lines.
std::vector<std::string> ReadLines(const std::string& file, bool keepComments = false) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error(file + ": cannot be read");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!keepComments && (line.empty() || line[0] == '#')) continue;
        lines.push_back(line);
    }
    return lines;
}

// An expected row matches an actual one field by field; "*" matches any field.
bool RowMatches(const std::string& expected, const std::string& actual) {
    std::istringstream e(expected), a(actual);
    std::string fe, fa;
    while (true) {
        const bool he = static_cast<bool>(std::getline(e, fe, '\t')), ha = static_cast<bool>(std::getline(a, fa, '\t'));
        if (!he || !ha) return he == ha;
        if (fe != "*" && fe != fa) return false;
    }
}

// Every row matched once, in any order; the rows left over on either side are the differences.
void CompareRows(Checks& checks, const std::vector<std::string>& expected, std::vector<std::string> actual,
                 const std::string& what) {
    std::vector<std::string> missing;
    for (const auto& e : expected) {
        auto it = std::find_if(actual.begin(), actual.end(), [&](const std::string& a) { return RowMatches(e, a); });
        if (it == actual.end()) missing.push_back(e);
        else actual.erase(it);
    }
    checks.Expect(missing.empty() && actual.empty(), what + " (" + std::to_string(expected.size()) + " expected)");
    for (const auto& m : missing) checks.Note("expected, not found: " + m);
    for (const auto& a : actual) checks.Note("found, not expected: " + a);
}

// ---- The registry -------------------------------------------------------------------------------

// A value of the user's registry; nullopt when the key or value is missing.
std::optional<std::wstring> UserValue(const std::wstring& key, const wchar_t* name) {
    wchar_t buf[1024];
    DWORD size = sizeof buf;
    if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(buf);
}

int Registered(bool wanted) {
    Checks checks;
    const auto keys = ReadAddinKeys();
    const AddinKey* key = nullptr;
    for (const auto& k : keys)
        if (k.progId == kProgId) key = &k;
    // The class as registered for the user (Software\Classes), read directly: the platform's
    // merged view of the classes is not what is checked here.
    const std::wstring classes = L"Software\\Classes\\";
    const auto clsid = UserValue(classes + win::Wide(kProgId) + L"\\CLSID", nullptr);
    if (!wanted) {
        checks.Expect(!key, std::string("no key Addins\\") + kProgId + " after unregistration");
        checks.Expect(!clsid, std::string("no class ") + kProgId + " after unregistration");
        return checks.Failed() ? 1 : 0;
    }
    checks.Expect(key != nullptr, std::string("key HKCU\\Software\\Microsoft\\Office\\Outlook\\Addins\\") + kProgId);
    if (key) {
        checks.Expect(key->friendlyName == "Nubrasweep", "FriendlyName \"Nubrasweep\" (is \"" + key->friendlyName + "\")");
        checks.Expect(key->description == "Remove duplicates from outlook folders",
                      "Description \"Remove duplicates from outlook folders\" (is \"" + key->description + "\")");
        checks.Expect(key->hasLoadBehavior && key->loadBehavior == 3,
                      "LoadBehavior 3 (is " + std::to_string(key->loadBehavior) + ")");
    }
    checks.Expect(clsid.has_value(), std::string("the class ") + kProgId + " names its CLSID");
    if (clsid) {
        const auto server = UserValue(classes + L"CLSID\\" + *clsid + L"\\InprocServer32", nullptr);
        checks.Expect(server && server->find(L"Nubra.dll") != std::wstring::npos,
                      "its in-process server is Nubra.dll (" + (server ? win::Utf8(server->c_str()) : std::string("none")) + ")");
    }
    return checks.Failed() ? 1 : 0;
}

// ---- The add-in's session -----------------------------------------------------------------------

std::string CommonAppDataLog() {
    wchar_t path[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, path))) return {};
    return win::Utf8(path) + "\\Nubra\\Nubra.log";
}

// A log line without its leading time stamp ("12/9/2026 6:49:20 AM  "), the named-property tags
// the MAPI library hands out (its own numbering) masked, and the narrow no-break space that
// ICU's recent locale data puts before AM/PM on Linux read as the plain space Windows writes.
std::string Normalised(std::string line) {
    static const std::regex stamp(R"(^\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d{2}:\d{2}( [AP]M)?  )");
    static const std::regex tag(R"(([Tt]ag: )[0-9A-F]{8})");
    static const std::string narrowSpace = "\xE2\x80\xAF";
    for (auto pos = line.find(narrowSpace); pos != std::string::npos; pos = line.find(narrowSpace, pos))
        line.replace(pos, narrowSpace.size(), " ");
    return std::regex_replace(std::regex_replace(line, stamp, ""), tag, "$1XXXXXXXX");
}

// The lines of the removal runs (what the engine wrote), normalised; the session's own lines
// (connection, the dialog loading and filling its tree, ending) depend on how often the dialog
// opened, and on whether there was one (the Linux reference runs without), and are left out.
std::vector<std::string> RunLines(const std::vector<std::string>& lines) {
    static const char* kSessionLines[] = {"Connect:", "FillTreeView:", "frmRemDuplicates.Form_load:", "Nubra has ended"};
    std::vector<std::string> out;
    for (const auto& raw : lines) {
        const std::string line = Normalised(raw);
        bool session = false;
        for (const char* s : kSessionLines) session = session || line.rfind(s, 0) == 0;
        if (!session && !line.empty()) out.push_back(line);
    }
    return out;
}

// The lines of the runs over `folders` (in that order) out of the lines of many runs: each run
// starts with the line naming its folder and ends with the one before the next run's start.
std::vector<std::string> RunsOf(const std::vector<std::string>& lines, const std::vector<std::string>& folders) {
    static const std::string start = "clsFldMon.RemDuplicatesInFld: removing duplicate items from folder ";
    std::map<std::string, std::vector<std::string>> runs;
    std::vector<std::string>* run = nullptr;
    for (const auto& line : lines) {
        if (line.rfind(start, 0) == 0) run = &runs[line.substr(start.size())];
        if (run) run->push_back(line);
    }
    std::vector<std::string> out;
    for (const auto& path : folders) {
        const auto& r = runs[path.substr(path.rfind('\\') + 1)];
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

class Client {
public:
    Client(const Options& options, Checks& checks) : options_(options), checks_(checks) {}

    int Run() {
        try {
            session_ = Session::Load(options_.store);
        } catch (const std::exception& e) {
            std::cout << "FAIL: the store: " << e.what() << "\n";
            return 1;
        }
        session_->failingSubject = options_.failSubject;
        session_->failingMember = options_.failMember;
        {
            win::ComApartment apartment;
            RunSession();
        }
        return checks_.Failed() ? 1 : 0;
    }

private:
    void RunSession() {
        auto app = win::MakeServer<ApplicationObject>(*session_);
        AddinHost host;
        std::ostringstream hostLog;
        const int connected = host.ConnectAtStart(*app.get(), hostLog);
        if (!hostLog.str().empty()) checks_.Note(hostLog.str());
        checks_.Expect(connected == 1, "one add-in connected at start (" + std::to_string(connected) + ")");
        if (connected == 1) {
            ControlsObject& bar = app->explorer->MenuBar();
            ControlObject* popup = bar.Find([](ControlObject& c) { return c.tag == "mnuNubrapopup"; }, false);
            ControlObject* button = popup && popup->children
                                        ? popup->children->Find([](ControlObject& c) { return c.tag == "mnuNubra"; }, false)
                                        : nullptr;
            CheckMenu(bar, popup, button);
            if (button) Scenario(*button);
            const std::size_t buttonSinks = button ? button->ClickSinks() : 0;
            checks_.Expect(host.Shutdown(hostLog), "OnBeginShutdown and OnDisconnection succeed");
            if (!hostLog.str().empty()) checks_.Note(hostLog.str());
            // The window closes after the add-ins were told of the shutdown.
            app->explorer->Close();
            CheckReleased(*app.get(), button, buttonSinks);
        }
        // Nothing of ours may outlive the application now.
        app = {};
        const long live = win::DispatchServer::LiveObjects();
        checks_.Expect(live == 0, "no object of the client is left referenced (" + std::to_string(live) + " live)");
        for (const auto& module : host.modules) {
            HMODULE handle = GetModuleHandleW(module.c_str());
            if (!handle) {
                checks_.Expect(true, "the add-in's module is unloaded already");
                continue;
            }
            using CanUnload = HRESULT(STDAPICALLTYPE*)();
            auto canUnload = reinterpret_cast<CanUnload>(reinterpret_cast<void*>(GetProcAddress(handle, "DllCanUnloadNow")));
            checks_.Expect(canUnload && canUnload() == S_OK, "DllCanUnloadNow of " + win::Utf8(module.c_str()) + " says S_OK");
        }
    }

    void CheckMenu(ControlsObject& bar, ControlObject* popup, ControlObject* button) {
        if (options_.scenario != "menu") {
            checks_.Expect(button != nullptr, "the menu entry is there");
            return;
        }
        checks_.Expect(popup != nullptr, "a popup tagged \"mnuNubrapopup\" on \"Menu bar\"");
        if (!popup) return;
        checks_.Expect(popup->type == 10, "the popup has type 10 (" + std::to_string(popup->type) + ")");
        checks_.Expect(popup->caption == "&Nubra", "the popup's caption \"&Nubra\" (\"" + popup->caption + "\")");
        checks_.Expect(popup->temporary, "the popup is temporary");
        // Before the Help menu (id 30010), as the add-in places it.
        std::size_t popupAt = 0, helpAt = 0;
        for (std::size_t i = 0; i < bar.controls.size(); ++i) {
            if (bar.controls[i].get() == popup) popupAt = i + 1;
            if (bar.controls[i]->id == 30010) helpAt = i + 1;
        }
        checks_.Expect(popupAt + 1 == helpAt, "the popup stands just before Help (" + std::to_string(popupAt) + ", " +
                                                  std::to_string(helpAt) + ")");
        checks_.Expect(button != nullptr, "a button tagged \"mnuNubra\" in the popup");
        if (!button) return;
        checks_.Expect(button->type == 1, "the button has type 1 (" + std::to_string(button->type) + ")");
        checks_.Expect(button->caption == "&Remove duplicate items...",
                       "the button's caption \"&Remove duplicate items...\" (\"" + button->caption + "\")");
        checks_.Expect(button->onAction == std::string("<!") + kProgId + ">",
                       "the button's OnAction \"<!Nubra.Addinconnect>\" (\"" + button->onAction + "\")");
        checks_.Expect(button->temporary, "the button is temporary");
        checks_.Expect(button->ClickSinks() == 1, "the add-in listens to the button's Click (" +
                                                      std::to_string(button->ClickSinks()) + " listeners)");
    }

    void Scenario(ControlObject& button) {
        const std::string& s = options_.scenario;
        if (s == "menu") return;
        if (!DialogDriver::DialogKnown()) {
            checks_.Expect(false, "scenario " + s + " needs the Win32 dialog, which this build does not have yet");
            return;
        }
        if (s == "click") {
            DialogDriver driver(DialogPlan{});
            const bool cancel = button.Click();
            auto outcome = driver.Finish();
            checks_.Expect(outcome.opened, "the button's Click opens the dialog \"Nubrasweep\"");
            checks_.Expect(outcome.closed, "the dialog closes on its Close button");
            checks_.Expect(!cancel, "the add-in leaves CancelDefault alone");
            Report(outcome, false);
        } else if (s == "clean") {
            Clean(button);
        } else if (s == "error") {
            checks_.Expect(options_.folders.size() == 1 && !options_.failSubject.empty(),
                           "error names one folder and the failing subject");
            if (options_.folders.size() != 1) return;
            DialogDriver driver(DialogPlan{options_.folders[0]});
            button.Click();
            auto outcome = driver.Finish();
            checks_.Expect(outcome.opened, "the dialog opened");
            bool shown = false;
            for (const auto& text : outcome.messageBoxes) shown = shown || text.find(options_.boxText) != std::string::npos;
            checks_.Expect(shown, "a message box \"Nubrasweep\" tells \"" + options_.boxText + "\"");
            Report(outcome, true);
        } else {
            checks_.Expect(false, "no scenario " + s);
        }
    }

    void Report(const DialogOutcome& outcome, bool boxesExpected) {
        for (const auto& f : outcome.failures) checks_.Expect(false, f);
        for (const auto& text : outcome.messageBoxes) checks_.Note("message box: " + text);
        if (!boxesExpected)
            checks_.Expect(outcome.messageBoxes.empty(), "no message box (" + std::to_string(outcome.messageBoxes.size()) + ")");
    }

    void Clean(ControlObject& button) {
        std::vector<std::string> rows;
        std::size_t logStart = 0;
        const std::string logFile = CommonAppDataLog();
        try {
            logStart = ReadLines(logFile, true).size();
        } catch (const std::runtime_error&) {
        }
        for (const auto& path : options_.folders) {
            winclient::Folder* folder = session_->FolderByPath(path);
            checks_.Expect(folder != nullptr, "the store has a folder " + path);
            if (!folder) continue;
            std::set<Item*> before;
            for (auto& i : folder->items) before.insert(i.get());
            std::vector<std::shared_ptr<Item>> all(folder->items);

            DialogDriver driver(DialogPlan{path});
            button.Click();
            auto outcome = driver.Finish();
            Report(outcome, false);
            rows.push_back(path + "\toutcome\t" + outcome.status);
            checks_.Note(path + ": " + outcome.status);

            winclient::Folder* duplicates = folder->Child(kDuplicatesFolder);
            for (auto& item : all) {
                if (item->folder == folder) continue;
                if (duplicates && item->folder == duplicates) rows.push_back(Row(path, "moved", *item));
                else if (!item->folder || item->folder == &folder->store.DeletedItems()) rows.push_back(Row(path, "deleted", *item));
                else rows.push_back(Row(path, "elsewhere", *item));
            }
        }
        std::sort(rows.begin(), rows.end());
        for (const auto& r : rows) std::cout << "      removed: " << r << "\n";
        if (!options_.expect.empty()) {
            // The expectations of the folders cleaned here (the file covers the whole sample).
            std::vector<std::string> expected;
            for (const auto& row : ReadLines(options_.expect)) {
                const std::string folder = row.substr(0, row.find('\t'));
                if (std::find(options_.folders.begin(), options_.folders.end(), folder) != options_.folders.end())
                    expected.push_back(row);
            }
            CompareRows(checks_, expected, rows, "the removals and outcomes");
        }
        if (!options_.logExpect.empty()) {
            std::vector<std::string> lines;
            try {
                lines = ReadLines(logFile, true);
            } catch (const std::runtime_error& e) {
                checks_.Expect(false, e.what());
            }
            checks_.Expect(!lines.empty(), "the log " + logFile + " was written");
            if (lines.size() >= logStart) lines.erase(lines.begin(), lines.begin() + static_cast<long>(logStart));
            const auto actual = RunLines(lines);
            const auto expected = RunsOf(RunLines(ReadLines(options_.logExpect)), options_.folders);
            bool same = actual == expected;
            checks_.Expect(same, "the log's run lines are the Linux run's (" + std::to_string(expected.size()) + " lines)");
            if (!same) {
                for (std::size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
                    const std::string a = i < actual.size() ? actual[i] : "(none)";
                    const std::string e = i < expected.size() ? expected[i] : "(none)";
                    if (a != e) {
                        checks_.Note("line " + std::to_string(i + 1) + " expected: " + Visible(e));
                        checks_.Note("line " + std::to_string(i + 1) + " written:  " + Visible(a));
                    }
                }
            }
        }
    }

    void CheckReleased(ApplicationObject& app, ControlObject* button, std::size_t buttonSinksBefore) {
        checks_.Expect(app.explorer->CloseSinks() == 0, "the add-in stopped listening to the explorer's Close (" +
                                                             std::to_string(app.explorer->CloseSinks()) + " left)");
        if (button) {
            checks_.Expect(button->ClickSinks() == 0, "the add-in stopped listening to the button's Click (" +
                                                          std::to_string(buttonSinksBefore) + " before, " +
                                                          std::to_string(button->ClickSinks()) + " after)");
            // The button: its popup's list holds the one reference that should be left.
            checks_.Expect(button->References() == 1,
                           "the button is referenced by its popup only (" + std::to_string(button->References()) + ")");
        }
        checks_.Expect(ReferencesOf(static_cast<IDispatch*>(&app)) == 1,
                       "the Application is referenced by the client only (" +
                           std::to_string(ReferencesOf(static_cast<IDispatch*>(&app))) + ")");
        checks_.Expect(ReferencesOf(static_cast<IDispatch*>(app.explorer.get())) == 1,
                       "the Explorer is referenced by the Application only (" +
                           std::to_string(ReferencesOf(static_cast<IDispatch*>(app.explorer.get()))) + ")");
    }

    const Options& options_;
    Checks& checks_;
    std::unique_ptr<Session> session_;
};

int Usage() {
    std::cerr << "usage: NubraTestClient [--store DIR] [--fail-member NAME --fail-subject TEXT] [--expect FILE]\n"
                 "                       [--log-expect FILE] [--timeout SECONDS]\n"
                 "                       [--box-text TEXT] registered|unregistered|menu|click|clean|error [FOLDER...]\n";
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options o;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(win::Utf8(argv[i]));
    for (std::size_t i = 0; i < args.size(); ++i) {
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::runtime_error(args[i] + " needs a value");
            return args[++i];
        };
        try {
            if (args[i] == "--store") o.store = value();
            else if (args[i] == "--fail-subject") o.failSubject = value();
            else if (args[i] == "--fail-member") o.failMember = value();
            else if (args[i] == "--expect") o.expect = value();
            else if (args[i] == "--log-expect") o.logExpect = value();
            else if (args[i] == "--box-text") o.boxText = value();
            else if (args[i] == "--timeout") o.timeoutSeconds = std::stoi(value());
            else if (args[i].rfind("--", 0) == 0) return Usage();
            else if (o.scenario.empty()) o.scenario = args[i];
            else o.folders.push_back(args[i]);
        } catch (const std::runtime_error& e) {
            std::cerr << e.what() << "\n";
            return Usage();
        }
    }
    if (o.scenario.empty()) return Usage();
    // Every line as it is written: a run that hangs still shows how far it came.
    std::cout << std::unitbuf;
    std::cout << "NubraTestClient: scenario " << o.scenario << "\n";
    // A scenario that hangs (a window nobody answers, a call that never returns) ends the
    // program with what it shows, inside the test's time.
    std::thread([seconds = o.timeoutSeconds] {
        Sleep(static_cast<DWORD>(seconds) * 1000);
        std::cout << "FAIL: the scenario did not end within " << seconds << " s\n";
        for (const auto& text : AnswerMessageBoxes()) std::cout << "      open message box: " << text << "\n";
        ExitProcess(3);
    }).detach();
    if (o.scenario == "registered") return Registered(true);
    if (o.scenario == "unregistered") return Registered(false);
    Checks checks;
    return Client(o, checks).Run();
}
