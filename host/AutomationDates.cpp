// Automation dates: the calendar arithmetic every platform shares. The regional part (the
// general date, reading date text, the time zone) is the platform's: AutomationDatesIcu.cpp on
// Linux, AutomationDatesWin.cpp on Windows.
#include "host/AutomationDates.h"

#include <cmath>

#include "host/DateArithmetic.h"

namespace nubra::dates {

using namespace detail;

Date MakeDate(int year, int month, int day, int hour, int minute, double second) {
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) ||
        hour < 0 || hour > 23 || minute < 0 || minute > 59 || !(second >= 0 && second < 60))
        RaiseError(errnum::kInvalidProcedureCall);
    const int64_t d = DaysFromCivil(year, month, day) + kUnixEpochDay;
    const int64_t ms = std::llround(((hour * 60.0 + minute) * 60.0 + second) * 1000.0);
    if (ms >= kMsPerDay) return Compose(d + 1, ms - kMsPerDay);
    return Compose(d, ms);
}

DateParts SplitDate(Date d) {
    DayTime dt = Decompose(d);
    DateParts p{};
    CivilFromDays(dt.day - kUnixEpochDay, p.year, p.month, p.day);
    p.hour = static_cast<int>(dt.ms / 3'600'000);
    p.minute = static_cast<int>(dt.ms / 60'000 % 60);
    p.second = static_cast<int>(dt.ms / 1000 % 60);
    p.millisecond = static_cast<int>(dt.ms % 1000);
    return p;
}

int64_t ToUnixMillis(Date d) {
    DayTime dt = Decompose(d);
    return (dt.day - kUnixEpochDay) * kMsPerDay + dt.ms;
}

Date FromUnixMillis(int64_t ms) {
    int64_t day = FloorDiv(ms, kMsPerDay);
    return Compose(day + kUnixEpochDay, ms - day * kMsPerDay);
}

namespace {
// Milliseconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kFileTimeUnixEpochMs = 11644473600000LL;
}  // namespace

int64_t DateToFileTime(Date d) { return (ToUnixMillis(d) + kFileTimeUnixEpochMs) * 10000; }

Date FileTimeToDate(int64_t ft) { return FromUnixMillis(FloorDiv(ft + 5000, 10000) - kFileTimeUnixEpochMs); }

}  // namespace nubra::dates
