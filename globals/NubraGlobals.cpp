#include "globals/NubraGlobals.h"

#include "globals/GlobalsPlatform.h"
#include "host/AutomationDates.h"
#include "host/Platform.h"

namespace nubra {

std::unique_ptr<clsLogging> goLog;
std::unique_ptr<clsErrHandler> goErrHandler;
std::shared_ptr<mapi::MAPIUtils> goredUtil;
std::shared_ptr<outlook::NameSpace> goOlNameSpace;
std::string gsProgId;
std::string gsAppTitle;
std::string gsOlVersion;

namespace {

// The error handler reads the log and the title from here whenever this module is linked in.
[[maybe_unused]] const bool gDiagnosticsWired = [] {
    SetDiagnosticsGlobals({[]() -> clsLogging* { return goLog.get(); }, []() { return gsAppTitle; }});
    return true;
}();

}  // namespace

Date qoCDate(std::string& psDate) {
    if (psDate.empty()) return dates::kYear4501;

    Err().Clear();
    std::string kept;
    auto convert = [&kept](const std::string& text) { kept = dates::FormatGeneralDate(dates::ParseDate(text)); };
    if (!ResumeNext([&] { convert(psDate); })) {
        // Many texts carry "." where the regional settings expect "/".
        if (psDate.find('.') != std::string::npos)
            for (char& c : psDate)
                if (c == '.') c = '/';
        Err().Clear();
        if (!ResumeNext([&] { convert(psDate); }) && goLog)
            goLog->WriteToLog("qoGenFunctions.qoCDate: error converting date string " + psDate);
    }
    Date result = 0;
    ResumeNext([&] { result = dates::ParseDate(kept); });
    return result;
}

int16_t OpenInDefaultBrowser(const std::string& psUrl) {
    static const std::string kContent = "\"<HTML> <\\HTML>\"\r\n";
    const std::string tempFile = detail::WriteBrowserProbe(kContent);

    const std::string browser = detail::FindBrowser(tempFile);

    if (!detail::RemoveFile(tempFile)) RaiseError(errnum::kPathFileAccess, {}, tempFile);

    if (!browser.empty()) ThePlatform().ShellExecute(browser, {psUrl});
    return 0;
}

}  // namespace nubra
