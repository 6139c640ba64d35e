// The automation vocabulary shared by the system and every host: late-bound objects,
// the Variant that carries values between them, automation dates and the error model
// (numbered failures, the thread's current error object `Err`).
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace nubra {

// Days since 30 December 1899 00:00, the fraction being the time of day.
using Date = double;

// Base of every object reached late-bound (Outlook objects, library objects).
// Objects are shared: the object model hands out references that any holder may keep.
class Object {
public:
    virtual ~Object() = default;
};
using ObjectRef = std::shared_ptr<Object>;

// Run-time error numbers used by the system and its hosts.
namespace errnum {
inline constexpr int32_t kSubscriptOutOfRange = 9;
inline constexpr int32_t kOverflow = 6;
inline constexpr int32_t kOutOfMemory = 7;
inline constexpr int32_t kTypeMismatch = 13;
inline constexpr int32_t kOutOfStack = 28;
inline constexpr int32_t kDiskFull = 61;
inline constexpr int32_t kPathFileAccess = 75;
inline constexpr int32_t kPathNotFound = 76;
inline constexpr int32_t kObjectVariableNotSet = 91;
inline constexpr int32_t kModalWindowOpen = 401;
inline constexpr int32_t kCannotCreateObject = 429;
inline constexpr int32_t kMemberNotSupported = 438;
inline constexpr int32_t kInvalidProcedureCall = 5;
inline constexpr int32_t kLogicalIdFailed = 920;
// Status codes of other components (negative 32-bit values).
inline constexpr int32_t kMapiNotFound = -2147221233;       // 0x8004010F
inline constexpr int32_t kMapiCorruptData = -2147221221;    // 0x8004011B
inline constexpr int32_t kMapiNoAccess = -2147024891;       // 0x80070005
inline constexpr int32_t kMapiCallFailed = -2147467259;     // 0x80004005
inline constexpr int32_t kMapiInvalidParameter = -2147024809;  // 0x80070057
inline constexpr int32_t kMapiNoSupport = -2147221246;      // 0x80040102
inline constexpr int32_t kMapiCollision = -2147219964;      // 0x80040604
inline constexpr int32_t kMapiDiskError = -2147221227;      // 0x80040115
inline constexpr int32_t kMapiBusy = -2147221238;           // 0x8004010A
}  // namespace errnum

// A failure raised by any procedure or host member: number, description, source.
class AutomationError : public std::exception {
public:
    AutomationError(int32_t number, std::string description, std::string source = {});
    int32_t Number() const noexcept { return number_; }
    const std::string& Description() const noexcept { return description_; }
    const std::string& Source() const noexcept { return source_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    int32_t number_;
    std::string description_;
    std::string source_;
};

// The description the automation run-time gives a run-time error number ("Type mismatch"
// for 13); empty for numbers it does not know.
std::string DefaultErrorDescription(int32_t number);

// Throws AutomationError; the description defaults to the run-time's own text.
[[noreturn]] void RaiseError(int32_t number, std::string description = {}, std::string source = {});

// The thread's current error: what a trap saw last, or what a continue-on-error stretch left
// pending. Number 0 means no error is pending.
class ErrObject {
public:
    int32_t Number = 0;
    std::string Description;
    std::string Source;

    void Clear();
    // Makes `e` the pending error.
    void Set(const AutomationError& e);
    // Throws the pending error again (or the given one).
    [[noreturn]] void Raise(int32_t number, const std::string& source = {},
                            const std::string& description = {});
};

// The calling thread's error object.
ErrObject& Err();

// Runs `step` in continue-on-error mode: a failure only becomes the pending error.
// Returns true when the step ran without failure.
template <typename F>
bool ResumeNext(F&& step) {
    try {
        step();
        return true;
    } catch (const AutomationError& e) {
        Err().Set(e);
        return false;
    }
}

// A value of one of the automation types the system uses.
class Variant {
public:
    enum class Type { Empty, Nothing, Boolean, Integer, Long, Double, Date, String, Bytes, Array, Object };

    struct DateValue {
        nubra::Date value;
        bool operator==(const DateValue&) const = default;
    };

    Variant() = default;  // Empty
    static Variant Nothing();
    static Variant FromDate(nubra::Date d);
    Variant(bool b) : v_(b) {}
    Variant(int16_t i) : v_(i) {}
    Variant(int32_t l) : v_(l) {}
    Variant(double d) : v_(d) {}
    Variant(std::string s) : v_(std::move(s)) {}
    Variant(const char* s) : v_(std::string(s)) {}
    Variant(std::vector<uint8_t> bytes) : v_(std::move(bytes)) {}
    Variant(std::vector<Variant> array) : v_(std::move(array)) {}
    Variant(ObjectRef o);

    Type type() const noexcept;
    bool IsEmpty() const noexcept { return type() == Type::Empty; }
    bool IsNothing() const noexcept { return type() == Type::Nothing; }

    // Conversions in the automation layer's manner; a value that does not convert raises 13.
    bool AsBool() const;
    int32_t AsLong() const;    // rounds doubles half to even; overflow raises 6
    double AsDouble() const;
    nubra::Date AsDate() const;  // text is read with the regional settings
    // Text form: Empty gives "", numbers plain decimal, dates in the general date format,
    // Boolean "True"/"False".
    std::string AsString() const;
    const std::vector<uint8_t>& AsBytes() const;
    const std::vector<Variant>& AsArray() const;
    ObjectRef AsObject() const;  // Nothing gives nullptr; other non-objects raise 13

    bool operator==(const Variant& other) const;

private:
    struct NothingTag {
        bool operator==(const NothingTag&) const = default;
    };
    std::variant<std::monostate, NothingTag, bool, int16_t, int32_t, double, DateValue, std::string,
                 std::vector<uint8_t>, std::vector<Variant>, ObjectRef>
        v_;
};

}  // namespace nubra
