// The calendar arithmetic of automation dates that every platform shares: civil dates and day
// numbers, a date value as day and milliseconds. For the date modules of host/ only.
#pragma once

#include <cmath>
#include <cstdint>

#include "host/Automation.h"

namespace nubra::dates::detail {

inline constexpr int64_t kMsPerDay = 86'400'000;
// Day number of 1 January 1970 in the automation count.
inline constexpr int64_t kUnixEpochDay = 25569;

// Days from 1970-01-01 of a proleptic Gregorian civil date.
inline int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

inline void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

inline bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

inline int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// A date value as a calendar day (automation day number) and milliseconds into that day.
// Before 30 December 1899 the integer part is the (negative) day and the fraction is still
// the positive time of day: -1.25 is 29 December 1899 06:00.
struct DayTime {
    int64_t day;
    int64_t ms;
};

inline DayTime Decompose(Date d) {
    if (!std::isfinite(d) || std::fabs(d) > 1e9) RaiseError(errnum::kOverflow);
    double whole = std::trunc(d);
    double frac = std::fabs(d - whole);
    DayTime r{static_cast<int64_t>(whole), std::llround(frac * kMsPerDay)};
    if (r.ms >= kMsPerDay) {
        r.day += 1;
        r.ms -= kMsPerDay;
    }
    return r;
}

inline Date Compose(int64_t day, int64_t ms) {
    const double frac = static_cast<double>(ms) / kMsPerDay;
    return day >= 0 ? static_cast<double>(day) + frac : static_cast<double>(day) - frac;
}

inline int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// The day and time of day the general date shows: `d` rounded to the whole second.
inline DayTime WholeSeconds(Date d) {
    DayTime dt = Decompose(d);
    dt.ms = (dt.ms + 500) / 1000 * 1000;
    if (dt.ms >= kMsPerDay) {
        dt.ms -= kMsPerDay;
        ++dt.day;
    }
    return dt;
}

}  // namespace nubra::dates::detail
