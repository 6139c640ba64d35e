// The failure every reader and writer of this folder raises: an automation error whose
// description names the file and the place in it ("contacts.vcf:12: ..." or
// "box.pst: byte 4096: ..."), so a command line can print it as it stands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/Automation.h"

namespace nubra::formats {

class FormatError : public AutomationError {
public:
    // `line` is 1-based; `byteOffset` 0-based. Either may be absent when the source has no
    // such notion (a folder, a file that cannot be opened).
    FormatError(std::string file, std::optional<int64_t> line, std::optional<int64_t> byteOffset,
                std::string message);

    const std::string& File() const noexcept { return file_; }
    const std::optional<int64_t>& Line() const noexcept { return line_; }
    const std::optional<int64_t>& ByteOffset() const noexcept { return offset_; }
    const std::string& Message() const noexcept { return message_; }

private:
    std::string file_;
    std::optional<int64_t> line_;
    std::optional<int64_t> offset_;
    std::string message_;
};

// Shorthands.
[[noreturn]] void FailAtLine(const std::string& file, int64_t line, const std::string& message);
[[noreturn]] void FailAtOffset(const std::string& file, int64_t offset, const std::string& message);
[[noreturn]] void FailFile(const std::string& file, const std::string& message);

}  // namespace nubra::formats
