// The one place where a trapped failure becomes a log line and, where useful, a message box
// with advice. Reads the thread's pending error (Err()).
#pragma once

#include <cstdint>
#include <string>

namespace nubra {

class clsLogging;

// What the handler reads of the add-in's globals: the log (goLog, null when it does not exist)
// and the application title (gsAppTitle). The module that holds those globals installs its
// accessors when it is part of the program; without it there is no log and no title. Keeping
// the handler free of a link to that module avoids a cycle between the two libraries (the
// globals module logs through clsLogging).
struct DiagnosticsGlobals {
    clsLogging* (*log)() = nullptr;
    std::string (*appTitle)() = nullptr;
};
void SetDiagnosticsGlobals(const DiagnosticsGlobals& globals);
const DiagnosticsGlobals& GetDiagnosticsGlobals();

class clsErrHandler {
public:
    void LineNumber(int16_t piNr) { lineNumber_ = piNr; }
    void DisplayErrMsg(bool pbValue) { displayErrMsg_ = pbValue; }
    void LogError(bool pbValue) { logError_ = pbValue; }
    void UseLanguages(bool pbLang) { useLanguages_ = pbLang; }
    void AppTitle(const std::string& psTitle) { appTitle_ = psTitle; }
    void ErrorNumber(int32_t plErr) { errorNumber_ = plErr; }
    void ErrorDescription(const std::string& psDesc) { errorDescription_ = psDesc; }

    // Logs the pending error (or the fallback number and description) with the procedure
    // name and shows it with advice unless its number is suppressed. Fills an empty
    // psUserActionToTake with the advice. Always returns false; leaves the pending error as
    // it is.
    bool HandleError(const std::string& psProc, std::string& psUserActionToTake, int16_t piLineNr = 0);
    bool HandleError(const std::string& psProc) {
        std::string advice;
        return HandleError(psProc, advice, 0);
    }

    int16_t CurrentLineNumber() const { return lineNumber_; }

private:
    static std::string GetUserAdvice(int32_t number, const std::string& description);
    int16_t lineNumber_ = 0;
    bool displayErrMsg_ = true;
    bool logError_ = true;
    bool useLanguages_ = false;
    std::string appTitle_;
    int32_t errorNumber_ = 0;
    std::string errorDescription_;
};

}  // namespace nubra
