// Item data for tests: one builder per kind, with what the duplicate search reads. Times are
// automation dates in UTC; a builder without a creation time leaves it to the store (now).
#pragma once

#include <optional>
#include <string>

#include "host/Outlook.h"
#include "standin_host/store/ItemData.h"

namespace nubra::testing {

inline store::ItemData Mail(const std::string& subject, std::optional<Date> created = std::nullopt) {
    store::ItemData d;
    d.Class = outlook::olMail;
    d.Subject = subject;
    d.CreationTime = created;
    return d;
}

// Received an hour before it was stored, with its internet message ID.
inline store::ItemData ReceivedMail(const std::string& msgId, const std::string& subject, Date created) {
    auto d = Mail(subject, created);
    d.InternetMessageID = msgId;
    d.SentOn = created - 1.0 / 24;
    return d;
}

inline store::ItemData SentMail(const std::string& subject, Date sentOn, Date created) {
    auto d = Mail(subject, created);
    d.SentOn = sentOn;
    return d;
}

inline store::ItemData UnsentMail(const std::string& subject, Date created) { return Mail(subject, created); }

inline store::ItemData Contact(const std::string& first, const std::string& last, const std::string& company,
                               const std::string& email, std::optional<Date> created = std::nullopt) {
    store::ItemData d;
    d.Class = outlook::olContact;
    d.FirstName = first;
    d.LastName = last;
    d.CompanyName = company;
    d.Email1Address = email;
    d.CreationTime = created;
    return d;
}

inline store::ItemData Appointment(const std::string& subject, const std::string& location, Date start, Date end,
                                   std::optional<Date> created = std::nullopt) {
    store::ItemData d;
    d.Class = outlook::olAppointment;
    d.Subject = subject;
    d.Location = location;
    d.Start = start;
    d.End = end;
    d.CreationTime = created;
    return d;
}

inline store::ItemData Task(const std::string& subject, int32_t status, std::optional<Date> start = std::nullopt,
                            std::optional<Date> due = std::nullopt, std::optional<Date> created = std::nullopt) {
    store::ItemData d;
    d.Class = outlook::olTask;
    d.Subject = subject;
    d.Status = status;
    d.StartDate = start;
    d.DueDate = due;
    d.CreationTime = created;
    return d;
}

inline store::ItemData Note(const std::string& body, int32_t colour, std::optional<Date> created = std::nullopt) {
    store::ItemData d;
    d.Class = outlook::olNote;
    d.Body = body;
    d.Color = colour;
    d.CreationTime = created;
    return d;
}

inline store::ItemData DistributionList(const std::string& subject, Date created) {
    store::ItemData d;
    d.Class = outlook::olDistributionList;
    d.Subject = subject;
    d.CreationTime = created;
    return d;
}

}  // namespace nubra::testing
