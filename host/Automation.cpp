#include "host/Automation.h"

#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>

#include "host/AutomationDates.h"

namespace nubra {

AutomationError::AutomationError(int32_t number, std::string description, std::string source)
    : number_(number), description_(std::move(description)), source_(std::move(source)) {}

std::string DefaultErrorDescription(int32_t number) {
    static const std::map<int32_t, std::string> texts = {
        {3, "Return without GoSub"},
        {5, "Invalid procedure call or argument"},
        {6, "Overflow"},
        {7, "Out of memory"},
        {9, "Subscript out of range"},
        {11, "Division by zero"},
        {13, "Type mismatch"},
        {28, "Out of stack space"},
        {52, "Bad file name or number"},
        {53, "File not found"},
        {57, "Device I/O error"},
        {61, "Disk full"},
        {70, "Permission denied"},
        {75, "Path/File access error"},
        {76, "Path not found"},
        {91, "Object variable or With block variable not set"},
        {380, "Invalid property value"},
        {401, "Can't show non-modal form when modal form is displayed"},
        {429, "ActiveX component can't create object"},
        {438, "Object doesn't support this property or method"},
        {35601, "Element not found"},
        {35602, "Key is not unique in collection"},
    };
    auto it = texts.find(number);
    return it == texts.end() ? std::string{} : it->second;
}

void RaiseError(int32_t number, std::string description, std::string source) {
    if (description.empty()) description = DefaultErrorDescription(number);
    throw AutomationError(number, std::move(description), std::move(source));
}

void ErrObject::Clear() {
    Number = 0;
    Description.clear();
    Source.clear();
}

void ErrObject::Set(const AutomationError& e) {
    Number = e.Number();
    Description = e.Description();
    Source = e.Source();
}

void ErrObject::Raise(int32_t number, const std::string& source, const std::string& description) {
    RaiseError(number, description, source);
}

ErrObject& Err() {
    thread_local ErrObject err;
    return err;
}

Variant Variant::Nothing() {
    Variant v;
    v.v_ = NothingTag{};
    return v;
}

Variant Variant::FromDate(nubra::Date d) {
    Variant v;
    v.v_ = DateValue{d};
    return v;
}

Variant::Variant(ObjectRef o) {
    if (o)
        v_ = std::move(o);
    else
        v_ = NothingTag{};
}

Variant::Type Variant::type() const noexcept { return static_cast<Type>(v_.index()); }

namespace {
[[noreturn]] void Mismatch() { RaiseError(errnum::kTypeMismatch); }

double ParseNumber(const std::string& s) {
    // Plain decimal text only: no hexadecimal, "inf" or "nan" forms of the C library.
    if (s.find_first_not_of("0123456789+-.eE ") != std::string::npos) Mismatch();
    size_t used = 0;
    double d = 0;
    try {
        d = std::stod(s, &used);
    } catch (const std::out_of_range&) {
        RaiseError(errnum::kOverflow);
    } catch (...) {
        Mismatch();
    }
    while (used < s.size() && s[used] == ' ') ++used;
    if (used != s.size()) Mismatch();
    return d;
}

std::string NumberText(double d) {
    if (std::isfinite(d) && d == std::floor(d) && std::fabs(d) < 1e15) {
        return std::to_string(static_cast<long long>(d));
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    return buf;
}
}  // namespace

bool Variant::AsBool() const {
    switch (type()) {
        case Type::Empty: return false;
        case Type::Boolean: return std::get<bool>(v_);
        case Type::String: {
            const auto& s = std::get<std::string>(v_);
            if (s == "True" || s == "true" || s == "TRUE") return true;
            if (s == "False" || s == "false" || s == "FALSE") return false;
            return ParseNumber(s) != 0;
        }
        case Type::Integer:
        case Type::Long:
        case Type::Double:
        case Type::Date: return AsDouble() != 0;
        default: Mismatch();
    }
}

double Variant::AsDouble() const {
    switch (type()) {
        case Type::Empty: return 0;
        case Type::Boolean: return std::get<bool>(v_) ? -1 : 0;
        case Type::Integer: return std::get<int16_t>(v_);
        case Type::Long: return std::get<int32_t>(v_);
        case Type::Double: return std::get<double>(v_);
        case Type::Date: return std::get<DateValue>(v_).value;
        case Type::String: return ParseNumber(std::get<std::string>(v_));
        default: Mismatch();
    }
}

int32_t Variant::AsLong() const {
    double d = std::nearbyint(AsDouble());  // banker's rounding under the default mode
    if (!(d >= std::numeric_limits<int32_t>::min() && d <= std::numeric_limits<int32_t>::max()))
        RaiseError(errnum::kOverflow);
    return static_cast<int32_t>(d);
}

nubra::Date Variant::AsDate() const {
    switch (type()) {
        case Type::Empty: return 0;
        case Type::Boolean: return std::get<bool>(v_) ? -1 : 0;
        case Type::Date: return std::get<DateValue>(v_).value;
        case Type::String: return dates::ParseDate(std::get<std::string>(v_));
        case Type::Integer:
        case Type::Long:
        case Type::Double: return AsDouble();
        default: Mismatch();
    }
}

std::string Variant::AsString() const {
    switch (type()) {
        case Type::Empty: return {};
        case Type::Boolean: return std::get<bool>(v_) ? "True" : "False";
        case Type::Integer: return std::to_string(std::get<int16_t>(v_));
        case Type::Long: return std::to_string(std::get<int32_t>(v_));
        case Type::Double: return NumberText(std::get<double>(v_));
        case Type::Date: return dates::FormatGeneralDate(std::get<DateValue>(v_).value);
        case Type::String: return std::get<std::string>(v_);
        default: Mismatch();
    }
}

const std::vector<uint8_t>& Variant::AsBytes() const {
    if (type() != Type::Bytes) Mismatch();
    return std::get<std::vector<uint8_t>>(v_);
}

const std::vector<Variant>& Variant::AsArray() const {
    if (type() != Type::Array) Mismatch();
    return std::get<std::vector<Variant>>(v_);
}

ObjectRef Variant::AsObject() const {
    if (type() == Type::Nothing) return nullptr;
    if (type() != Type::Object) Mismatch();
    return std::get<ObjectRef>(v_);
}

bool Variant::operator==(const Variant& other) const { return v_ == other.v_; }

}  // namespace nubra
