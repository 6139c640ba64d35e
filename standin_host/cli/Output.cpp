#include "standin_host/cli/Output.h"

#include <unistd.h>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <streambuf>

#include "standin_host/cli/TerminalControls.h"

namespace nubra::cli {

namespace {

// Standard output written with write(2): the first failure's errno is kept, where a stream
// would report it only later, when other calls have long overwritten errno.
class DescriptorBuffer : public std::streambuf {
public:
    DescriptorBuffer() { setp(buffer_, buffer_ + sizeof buffer_); }
    int Error() const { return error_; }

protected:
    int_type overflow(int_type c) override {
        if (!Drain()) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return Drain() ? 0 : -1; }

private:
    bool Drain() {
        const char* p = pbase();
        const char* end = pptr();
        setp(buffer_, buffer_ + sizeof buffer_);  // what could not be written is dropped
        if (error_) return false;
        while (p < end) {
            const ssize_t n = ::write(STDOUT_FILENO, p, static_cast<size_t>(end - p));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error_ = n < 0 ? errno : EIO;
                return false;
            }
            p += n;
        }
        return true;
    }

    char buffer_[64 * 1024];
    int error_ = 0;
};

DescriptorBuffer* gChannel = nullptr;
std::streambuf* gPrevious = nullptr;

int CharWidth(UChar32 c) {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return 0;  // controls (shown escaped before this)
    if (c == 0x00AD) return 1;                          // the soft hyphen is shown
    const int8_t type = u_charType(c);
    if (type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK || type == U_FORMAT_CHAR) return 0;
    if (c >= 0x1160 && c <= 0x11FF) return 0;  // Hangul vowels and finals join the syllable
    const int width = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
    return width == U_EA_WIDE || width == U_EA_FULLWIDTH ? 2 : 1;
}

}  // namespace

void PrintError(const std::string& message) { std::cerr << "nubrasweep: error: " << Printable(message) << "\n"; }
void PrintWarning(const std::string& message) { std::cerr << "nubrasweep: warning: " << Printable(message) << "\n"; }
void PrintNote(const std::string& message) { std::cerr << "nubrasweep: note: " << Printable(message) << "\n"; }

OutputChannel::OutputChannel() {
    static DescriptorBuffer buffer;
    gChannel = &buffer;
    std::cout.flush();
    gPrevious = std::cout.rdbuf(&buffer);
    // On a terminal each line shows as it is written, as the standard stream would show it.
    if (::isatty(STDOUT_FILENO)) std::cout.setf(std::ios::unitbuf);
}

OutputChannel::~OutputChannel() {
    std::cout.flush();
    std::cout.unsetf(std::ios::unitbuf);
    std::cout.rdbuf(gPrevious);
    gChannel = nullptr;
}

void CheckOutput() {
    errno = 0;
    const bool flushed = static_cast<bool>(std::cout.flush()) && std::fflush(stdout) == 0 && !std::ferror(stdout);
    int error = gChannel ? gChannel->Error() : 0;
    if (flushed && error == 0) return;
    if (error == 0) error = errno;
    throw CommandError{std::string("cannot write the output") + (error ? ": " + std::string(std::strerror(error)) : "")};
}

std::size_t DisplayWidth(std::string_view text) {
    std::size_t width = 0;
    const auto* s = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        width += c < 0 ? 1 : static_cast<std::size_t>(CharWidth(c));
    }
    return width;
}

void PrintTable(const std::vector<std::vector<std::string>>& rows, const std::string& indent) {
    if (rows.empty()) return;
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c) widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    for (const auto& row : rows) {
        std::string line = indent;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - DisplayWidth(row[c]) + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::cout << line << "\n";
    }
}

}  // namespace nubra::cli
