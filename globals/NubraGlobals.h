// The add-in's global objects and the utilities several parts share.
#pragma once

#include <memory>
#include <string>

#include "diagnostics/clsErrHandler.h"
#include "diagnostics/clsLogging.h"
#include "host/Automation.h"
#include "host/MAPIUtils.h"
#include "host/Outlook.h"

namespace nubra {

class clsFldMon;

extern std::unique_ptr<clsLogging> goLog;
extern std::unique_ptr<clsFldMon> goFldMon;  // defined where Init lives (it knows the engine)
extern std::unique_ptr<clsErrHandler> goErrHandler;
extern std::shared_ptr<mapi::MAPIUtils> goredUtil;
extern std::shared_ptr<outlook::NameSpace> goOlNameSpace;
extern std::string gsProgId;
extern std::string gsAppTitle;
extern std::string gsOlVersion;

// Creates the global objects in order: goLog (log file chosen and prepared), goFldMon,
// goErrHandler, gsAppTitle, goredUtil. Not trapped: raises what fails (the log folder cannot
// be made, the MAPI utility library is not registered); globals created before the failure
// stay.
void Init();

// The folder for the add-in's data: the common application-data folder, else the user's
// local one, each created when missing; empty when neither can be had. Never raises.
std::string GetAppDataFolder();
// Why the last GetAppDataFolder passed the common folder over as unsafe for the log (a folder
// other users may write to, a planted link, another user's file); "" when it did not.
std::string CommonFolderRefusal();

// Tolerant date text to date: empty text gives 1 January 4501; text that is no date gives
// the zero date with error 13 pending (and one log line); "." separators are retried as "/"
// (the caller's text is changed then). Never raises.
Date qoCDate(std::string& psDate);

// Opens a web address or a local HTML file in the user's default browser. Always returns 0;
// a missing browser is ignored. Raises 75 when the private temporary file cannot be written.
int16_t OpenInDefaultBrowser(const std::string& psUrl);

// The folder holding the add-in's own module file (the loaded library or program).
std::string AddinModuleFolder();

}  // namespace nubra
