#include "diagnostics/clsErrHandler.h"

#include <algorithm>
#include <array>

#include "diagnostics/clsLogging.h"
#include "host/Automation.h"
#include "host/Platform.h"

namespace nubra {
namespace {

constexpr const char* kCrLf = "\r\n";
// Components report their failures as status codes from this base upwards (0x80040000).
constexpr int64_t kObjectErrorOffset = 2147221504;  // 0x7FFC0000

// Numbers that are logged but never shown: they stand for conditions the user can do nothing
// about or that the caller reports in its own way.
constexpr std::array<int32_t, 12> kSilentNumbers = {875, 876, 888, 889, 890, 900, 910, 995, 996, 997, 998, 999};

DiagnosticsGlobals& Globals() {
    static DiagnosticsGlobals g;
    return g;
}

}  // namespace

void SetDiagnosticsGlobals(const DiagnosticsGlobals& globals) { Globals() = globals; }
const DiagnosticsGlobals& GetDiagnosticsGlobals() { return Globals(); }

bool clsErrHandler::HandleError(const std::string& psProc, std::string& psUserActionToTake, int16_t piLineNr) {
    int32_t number = Err().Number;
    std::string description = Err().Description;
    if (number == 0) {
        number = errorNumber_;
        description = errorDescription_;
    }

    std::string objectError;
    if (number < -1) {
        objectError = " object errorcode: " + std::to_string(number);
        number = static_cast<int32_t>(number + kObjectErrorOffset);
    }

    if (piLineNr != 0) lineNumber_ = piLineNr;

    const DiagnosticsGlobals& globals = Globals();
    clsLogging* log = globals.log ? globals.log() : nullptr;
    if (log && logError_) {
        std::string entry = "Error# " + std::to_string(number) + " in proc: " + psProc + ". " + description + " " +
                            objectError;
        if (lineNumber_ > 0) entry += " LineNumber: " + std::to_string(lineNumber_);
        log->WriteToLog(entry);
    }

    if (psUserActionToTake.empty()) psUserActionToTake = GetUserAdvice(number, description);

    const bool silent = std::find(kSilentNumbers.begin(), kSilentNumbers.end(), number) != kSilentNumbers.end();
    if (displayErrMsg_ && !silent) {
        std::string text = description + kCrLf + kCrLf + std::to_string(number) + kCrLf + "Procedure: " + psProc +
                           kCrLf + kCrLf + psUserActionToTake;
        ThePlatform().MsgBox(text, vbInformation, globals.appTitle ? globals.appTitle() : std::string());
    }

    lineNumber_ = 0;
    return false;
}

std::string clsErrHandler::GetUserAdvice(int32_t number, const std::string& /*description*/) {
    switch (number) {
        case 6:
            return std::string("This error could be caused because there are to many items folder.") + kCrLf +
                   "If you get this error for items in the in the Deleted Items folder then please empty the Deleted "
                   "Items folder." +
                   kCrLf + "For other folders: if there are very much items in the folder then archive the folder";
        case 7:
        case 28: return "There is not enough memory to complete the current operation. Please close and restart Outlook!";
        case 61:
            return "Nubra is unable to create temporary data files because your disk is full. Please create some free "
                   "disk space by deleting some old data.";
        case 75:
        case 76:
            return "Nubra could not read or create a temporary data file. Rerun the Nubra connection wizard to make "
                   "sure the folders used by Nubra are valid.";
        case 401:
            return std::string("Nubra cannot show a window because another Outlook window is still open.") + kCrLf +
                   "Close all other Outlook windows and retry.";
        default: return {};
    }
}

}  // namespace nubra
