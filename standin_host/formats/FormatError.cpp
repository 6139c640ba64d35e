#include "standin_host/formats/FormatError.h"

namespace nubra::formats {
namespace {

std::string Describe(const std::string& file, const std::optional<int64_t>& line,
                     const std::optional<int64_t>& offset, const std::string& message) {
    std::string text = file;
    if (line) text += ":" + std::to_string(*line);
    if (offset) text += ": byte " + std::to_string(*offset);
    text += ": " + message;
    return text;
}

}  // namespace

FormatError::FormatError(std::string file, std::optional<int64_t> line,
                         std::optional<int64_t> byteOffset, std::string message)
    : AutomationError(errnum::kMapiCorruptData, Describe(file, line, byteOffset, message),
                      "nubra.formats"),
      file_(std::move(file)),
      line_(line),
      offset_(byteOffset),
      message_(std::move(message)) {}

void FailAtLine(const std::string& file, int64_t line, const std::string& message) {
    throw FormatError(file, line, std::nullopt, message);
}
void FailAtOffset(const std::string& file, int64_t offset, const std::string& message) {
    throw FormatError(file, std::nullopt, offset, message);
}
void FailFile(const std::string& file, const std::string& message) {
    throw FormatError(file, std::nullopt, std::nullopt, message);
}

}  // namespace nubra::formats
