// The automation layer's dates under the user's regional settings: the "general date" text
// form, the tolerant text-to-date conversion, and conversions between automation dates,
// Unix time and local time. On Linux the regional settings come from LC_ALL / LC_TIME / LANG,
// the time zone from TZ; on Windows they are the user's regional settings and the system's time
// zone, and the general date and reading date text are the automation layer's own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "host/Automation.h"

namespace nubra::dates {

// 1 January 4501 00:00, what an empty date text stands for.
inline constexpr Date kYear4501 = 949998.0;

// Date value for a calendar date and time (proleptic Gregorian, no time zone).
// Raises 5 for fields out of range.
Date MakeDate(int year, int month, int day, int hour = 0, int minute = 0, double second = 0);

struct DateParts {
    int year, month, day, hour, minute, second, millisecond;
};
// Calendar fields of a date value, rounded to the millisecond.
DateParts SplitDate(Date d);

// Milliseconds since 1970-01-01 00:00 for a date value taken as UTC, and back.
int64_t ToUnixMillis(Date d);
Date FromUnixMillis(int64_t ms);

// FILETIME (100 ns since 1601-01-01, UTC: what MAPI stores) for a UTC date value, and back
// rounded to the nearest millisecond.
int64_t DateToFileTime(Date d);
Date FileTimeToDate(int64_t ft);

// Local time (TZ) of a UTC date value, and the UTC value of a local date value.
Date UtcToLocal(Date utc);
Date LocalToUtc(Date local);

// The current local date and time.
Date Now();

// The locale whose regional settings apply ("en_US", "de_DE", ...). Defaults to the process
// environment; tests and hosts may switch it (an empty name follows the environment again).
// On Windows the user's regional settings always apply: the name set is only reported back, and
// the default is the user's locale.
void SetRegionalLocale(const std::string& locale);
std::string RegionalLocale();

// The general date form: the locale's short date with a four-digit year, a blank, the
// locale's long time; the date alone when the time of day is exactly midnight. On Windows it is
// VarBstrFromDate's text (the short date as the user's settings write it, and the time alone
// on 30 December 1899). Raises 6 (Overflow) for a value no date can show.
std::string FormatGeneralDate(Date d);

// Text to date as the automation layer reads it: the locale's date order and separators,
// an optional time. Raises 13 (Type mismatch) for text that is no date.
Date ParseDate(std::string_view text);

}  // namespace nubra::dates
