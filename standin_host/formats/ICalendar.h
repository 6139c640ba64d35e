// iCalendar (.ics) in and out, read with libical. VEVENT becomes an appointment (Class 26),
// VTODO a task (Class 48); other components are not items.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "standin_host/formats/Formats.h"

namespace nubra::formats {

// Appointments: Start/End in UTC (time zones from the file's VTIMEZONE, else the tz database;
// floating times and all-day dates as local time of TZ), DURATION instead of DTEND, Location,
// Subject from SUMMARY, Body from DESCRIPTION. A recurring event is its master alone;
// RECURRENCE-ID overrides are skipped. Tasks: StartDate from DTSTART, DueDate from DUE,
// Status from STATUS (NEEDS-ACTION 0, IN-PROCESS 1, COMPLETED 2, CANCELLED 4), Subject.
// Each item's Source is its component as written, its overrides (RECURRENCE-ID) after it, and
// before them the VTIMEZONEs they name.
// Raises FormatError with the line for text that is not a well-formed calendar.
std::vector<ItemData> ParseICalendar(std::string_view data, const std::string& file);
std::vector<ItemData> ReadICalendarFile(const std::string& path);

// A VCALENDAR holding a VEVENT per appointment and a VTODO per task (other classes are
// skipped). Items unchanged since they were read (SourceIsCurrent) go out as they were read:
// their components with the time zones they name, each time zone once. Others are written
// from their fields, times in UTC.
std::string WriteICalendar(const std::vector<ItemData>& items);

}  // namespace nubra::formats
