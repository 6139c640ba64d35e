// A table restriction in the client's filter language (DASL), as Items.Restrict and
// Items.Find take it: "@SQL=" then the conditions joined by " AND ".
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/Automation.h"

namespace qomoreutils {

// One condition of the top AND restriction.
struct Condition {
    enum class Kind { Property, Exist, NotExist };
    Kind kind = Kind::Property;
    int32_t relop = 0;  // RELOP_LT .. RELOP_NE, for Property
    uint32_t tag = 0;
    nubra::Variant value;  // for Property
};

// The filter text for `conditions` (empty for none: every row matches). `schemaOf` gives the
// schema name of a tag. The value is written as the tag's type wants it: quoted text (quotes
// doubled) for text, a number for PT_LONG / PT_I2 / PT_BOOLEAN, the locale's general date text
// of the UTC value for PT_SYSTIME; for an untyped tag as the value's own type. Raises 13 for a
// value that does not convert, MAPI_E_NO_SUPPORT for a type a filter cannot compare, and what
// `schemaOf` raises.
std::string DaslFilter(const std::vector<Condition>& conditions,
                       const std::function<std::string(uint32_t)>& schemaOf);

}  // namespace qomoreutils
