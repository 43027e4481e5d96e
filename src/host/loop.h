// The request loop: one request line in, one response line out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace brindlecast {

class Host;

inline constexpr std::size_t maxLineBytes = 12288;

// Reads lines from a file descriptor. A line longer than the limit is read to
// its end but not kept, so memory stays bounded whatever the input.
class LineReader {
public:
    // `readSize`: the most bytes taken in one read; tests choose small reads
    // to see lines split across them.
    explicit LineReader(int fd, std::size_t readSize = sizeof buffer_)
        : fd_(fd), readSize_(readSize == 0 || readSize > sizeof buffer_ ? sizeof buffer_ : readSize) {}

    struct Line {
        std::string text;   // repaired UTF-8, terminator removed; empty when tooLong
        bool tooLong = false;
    };

    // The next line, or none at end of input.
    std::optional<Line> next();

private:
    bool fill();

    int fd_;
    std::size_t readSize_;
    char buffer_[1 << 16];
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    std::string raw_;
};

// The response to one line, without its line feed; empty when nothing is to
// be written.
std::string respond(Host& host, const LineReader::Line& line);

// Answers every line of `in` on `out` until end of input.
void runLoop(Host& host, int in, int out);

}  // namespace brindlecast
