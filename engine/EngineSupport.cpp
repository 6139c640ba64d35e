#include "engine/EngineSupport.h"

#include <cstdio>
#include <new>

#include "engine/TableSearch.h"
#include "globals/NubraGlobals.h"
#include "host/AutomationDates.h"
#include "host/ClassRegistry.h"
#include "host/MAPIUtils.h"

namespace nubra::engine {

std::string TrimSpaces(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ') ++b;
    while (e > b && s[e - 1] == ' ') --e;
    return std::string(s.substr(b, e - b));
}

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
    if (from.empty()) return;
    size_t pos = s.find(from);
    if (pos == std::string::npos) return;
    std::string out;
    out.reserve(s.size());
    size_t last = 0;
    while (pos != std::string::npos) {
        out.append(s, last, pos - last);
        out.append(to);
        last = pos + from.size();
        pos = s.find(from, last);
    }
    out.append(s, last, std::string::npos);
    s = std::move(out);
}

std::string HexTag(int32_t tag) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(static_cast<uint32_t>(tag)));
    return buf;
}

void Log(const std::string& entry) {
    if (goLog) goLog->WriteToLog(entry);
}

const ErrObject& SetErrFromCurrentException() {
    try {
        throw;
    } catch (const AutomationError& e) {
        Err().Set(e);
    } catch (const std::bad_alloc&) {
        Err().Set(AutomationError(errnum::kOutOfMemory, DefaultErrorDescription(errnum::kOutOfMemory)));
    } catch (const std::exception& e) {
        Err().Set(AutomationError(51, e.what()));
    } catch (...) {
        Err().Set(AutomationError(51, "Internal error"));
    }
    return Err();
}

void ReportPendingError(const std::string& procName, int16_t lineNumber) {
    if (!goErrHandler) return;
    if (lineNumber != 0) goErrHandler->LineNumber(lineNumber);
    goErrHandler->HandleError(procName);
}

outlook::ItemRef FirstItemOfClass(outlook::Items& items, int32_t olClass) {
    const int32_t count = items.Count();
    for (int32_t i = 1; i <= count; ++i) {
        auto item = items.Item(i);
        if (item && item->Class() == olClass) return item;
    }
    return nullptr;
}

std::string GmtText(const Variant& value) {
    if (value.IsEmpty()) return {};
    return dates::FormatGeneralDate(value.AsDate());
}

void ReadGmtDates(const outlook::ItemRef& item, const char* safeProgId, const char* propertySet, int16_t lidFirst,
                  int16_t lidSecond, std::string& first, std::string& second, const char* procName) {
    std::shared_ptr<mapi::SafeItem> safe;
    try {
        safe = CreateObjectAs<mapi::SafeItem>(safeProgId);
        safe->SetItem(item);
        const int32_t firstTag = safe->GetNamedPropertyTag(propertySet, lidFirst) | static_cast<int32_t>(mapi::PT_SYSTIME);
        const int32_t secondTag =
            safe->GetNamedPropertyTag(propertySet, lidSecond) | static_cast<int32_t>(mapi::PT_SYSTIME);
        if (!goredUtil) RaiseError(errnum::kObjectVariableNotSet);
        first = GmtText(goredUtil->GetOneProperty(item, firstTag));
        second = GmtText(goredUtil->GetOneProperty(item, secondTag));
    } catch (...) {
        SetErrFromCurrentException();
        ReportPendingError(procName);
    }
    LibraryCleanup();
    safe.reset();
}

}  // namespace nubra::engine
