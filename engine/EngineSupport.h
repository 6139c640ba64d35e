// Small helpers the engine's parts share: text trimming and replacing, tag text, logging and
// turning a caught failure into the thread's pending error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/Automation.h"
#include "host/Outlook.h"

namespace nubra::engine {

// Leading and trailing space characters (code 32 only) removed.
std::string TrimSpaces(std::string_view s);

// Every occurrence of `from` replaced by `to`, scanning from the first character.
void ReplaceAll(std::string& s, std::string_view from, std::string_view to);

// " CrLf " as written into logical IDs, and what it stands for.
inline constexpr std::string_view kCrLfMarker = " CrLf ";
inline constexpr std::string_view kCrLf = "\r\n";

// A property tag as upper-case hexadecimal without leading zeros.
std::string HexTag(int32_t tag);

// Writes one entry through the global log, when there is one.
void Log(const std::string& entry);

// Makes the failure being handled (inside a catch block) the pending error and returns it.
// Failures that are not automation errors get a run-time number (7 for lack of memory,
// 51 otherwise).
const ErrObject& SetErrFromCurrentException();

// Reports the pending error through the global error handler under `procName`.
void ReportPendingError(const std::string& procName, int16_t lineNumber = 0);

// Runs `step` in continue-on-error mode: any failure only becomes the pending error.
template <typename F>
bool Resume(F&& step) {
    try {
        step();
        return true;
    } catch (...) {
        SetErrFromCurrentException();
        return false;
    }
}

// The first item of `items` (in folder order) whose Class is `olClass`, or nullptr.
outlook::ItemRef FirstItemOfClass(outlook::Items& items, int32_t olClass);

// A UTC date value as GMT text (general date form); an empty value gives "".
std::string GmtText(const Variant& value);

// Two date properties of `item` as GMT text, read through a safe item of `safeProgId`: the
// named properties `lidFirst` and `lidSecond` of `propertySet`. A failure is reported under
// `procName` (what was read before it stays); the library is cleaned up either way.
void ReadGmtDates(const outlook::ItemRef& item, const char* safeProgId, const char* propertySet, int16_t lidFirst,
                  int16_t lidSecond, std::string& first, std::string& second, const char* procName);

}  // namespace nubra::engine
