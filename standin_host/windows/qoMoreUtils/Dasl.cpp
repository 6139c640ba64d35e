#include "standin_host/windows/qoMoreUtils/Dasl.h"

#include "host/win/Com.h"
#include "standin_host/windows/qoMoreUtils/MapiAccess.h"

namespace qomoreutils {

namespace errnum = nubra::errnum;

namespace {

const char* Operator(int32_t relop) {
    static const char* const kOperators[] = {"<", "<=", ">", ">=", "=", "<>"};
    if (relop < 0 || relop > 5) Fail(errnum::kMapiInvalidParameter, "relational operator " + std::to_string(relop) + " is unknown");
    return kOperators[relop];
}

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += '\'';
        out += c;
    }
    return out + "'";
}

std::string DateLiteral(nubra::Date date) {
    BSTR text = nullptr;
    const HRESULT hr = VarBstrFromDate(date, LOCALE_USER_DEFAULT, 0, &text);
    if (FAILED(hr)) FailHr(hr, "VarBstrFromDate");
    std::string out = nubra::win::Utf8(text, SysStringLen(text));
    SysFreeString(text);
    return Quoted(out);
}

// The value of a condition on `tag`, written as the tag's type wants it.
std::string Literal(const Condition& c) {
    const nubra::Variant& v = c.value;
    try {
        uint32_t type = PropType(c.tag);
        if (type == kPtUnspecified) {
            switch (v.type()) {
                case nubra::Variant::Type::Integer:
                case nubra::Variant::Type::Long: type = kPtLong; break;
                case nubra::Variant::Type::Boolean: type = kPtBoolean; break;
                case nubra::Variant::Type::Date: type = kPtSysTime; break;
                default: type = kPtUnicode; break;
            }
        }
        switch (type) {
            case kPtString8:
            case kPtUnicode: return Quoted(v.AsString());
            case kPtI2:
            case kPtLong: return std::to_string(v.AsLong());
            case kPtBoolean: return v.AsBool() ? "1" : "0";
            case kPtSysTime: return DateLiteral(v.AsDate());
            default:
                Fail(errnum::kMapiNoSupport, "a filter cannot compare property " + HexTag(c.tag));
        }
    } catch (const nubra::AutomationError& e) {
        if (e.Source() == kSource) throw;
        Fail(e.Number(), "the value for property " + HexTag(c.tag) + " does not fit its type: " + e.Description());
    }
}

}  // namespace

std::string DaslFilter(const std::vector<Condition>& conditions,
                       const std::function<std::string(uint32_t)>& schemaOf) {
    if (conditions.empty()) return {};
    std::string filter = "@SQL=";
    for (std::size_t i = 0; i < conditions.size(); ++i) {
        const Condition& c = conditions[i];
        if (i > 0) filter += " AND ";
        filter += "\"" + schemaOf(c.tag) + "\"";
        switch (c.kind) {
            case Condition::Kind::Property:
                filter += std::string(" ") + Operator(c.relop) + " " + Literal(c);
                break;
            case Condition::Kind::Exist: filter += " IS NOT NULL"; break;
            case Condition::Kind::NotExist: filter += " IS NULL"; break;
        }
    }
    return filter;
}

}  // namespace qomoreutils
