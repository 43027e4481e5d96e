#include "host/loop.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "host/failure.h"
#include "host/host.h"
#include "host/json_out.h"
#include "host/text.h"

namespace brindlecast {

namespace {

// Raw bytes kept of a line: the limit, a carriage return before the line
// feed, and one byte more to know that the limit is passed. Repair never
// shortens a line, so a longer raw line is always too long.
constexpr std::size_t keptRawBytes = maxLineBytes + 2;

// Waits until `fd` is ready for `events`, for a parent that handed over a
// non-blocking descriptor; false when waiting is not possible.
bool waitUntilReady(int fd, short events) {
    pollfd entry{fd, events, 0};
    for (;;) {
        if (::poll(&entry, 1, -1) > 0) return true;  // ready, or hung up: the next call tells
        if (errno != EINTR) return false;
    }
}

bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

// Writes the pieces in order, as one line when the pipe takes it.
void writeAll(int fd, std::vector<iovec> pieces) {
    std::size_t first = 0;
    while (first < pieces.size()) {
        const ssize_t written = ::writev(fd, pieces.data() + first, static_cast<int>(pieces.size() - first));
        if (written < 0) {
            if (errno == EINTR || (wouldBlock() && waitUntilReady(fd, POLLOUT))) continue;
            return;  // the parent has gone; nothing to tell anyone
        }
        auto left = static_cast<std::size_t>(written);
        while (first < pieces.size() && left >= pieces[first].iov_len) left -= pieces[first++].iov_len;
        if (left > 0) {
            pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + left;
            pieces[first].iov_len -= left;
        }
    }
}

iovec piece(const char* data, std::size_t size) { return {const_cast<char*>(data), size}; }

// The failure in the words of the desktop's own user.
std::string failureResponse(const Host& host, std::string_view id, const Failure& failure) {
    std::string out = "{\"id\":";
    appendJsonString(out, graphemePrefix(id, 32));
    out += ",\"ok\":false,\"code\":";
    appendJsonString(out, failure.code);
    out += ",\"error\":";
    appendJsonString(out, host.mac().desktopSystem() == platform::DesktopSystem::linuxX11 ? failure.onLinux()
                                                                                           : failure.message);
    out += '}';
    return out;
}

}  // namespace

bool LineReader::fill() {
    if (eof_) return false;
    for (;;) {
        ssize_t n = ::read(fd_, buffer_, readSize_);
        // An empty non-blocking pipe is not the end of input: wait for more.
        if (n < 0 && (errno == EINTR || (wouldBlock() && waitUntilReady(fd_, POLLIN)))) continue;
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        pos_ = 0;
        end_ = static_cast<std::size_t>(n);
        return true;
    }
}

std::optional<LineReader::Line> LineReader::next() {
    raw_.clear();
    bool overflow = false;
    bool terminated = false;
    bool sawAnything = false;
    while (!terminated) {
        if (pos_ == end_ && !fill()) break;
        sawAnything = true;
        const char* start = buffer_ + pos_;
        const void* lf = std::memchr(start, '\n', end_ - pos_);
        std::size_t take = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) : end_ - pos_;
        if (!overflow) {
            std::size_t room = keptRawBytes - raw_.size();
            if (take > room) {
                overflow = true;
                raw_.clear();
                raw_.shrink_to_fit();
            } else {
                raw_.append(start, take);
            }
        }
        pos_ += take;
        if (lf) {
            ++pos_;
            terminated = true;
        }
    }
    if (!sawAnything) return std::nullopt;
    Line line;
    if (overflow) {
        line.tooLong = true;
        return line;
    }
    std::string_view content = raw_;
    if (terminated && !content.empty() && content.back() == '\r') content.remove_suffix(1);
    line.text.reserve(content.size());
    repairUtf8(content, line.text);
    if (line.text.size() > maxLineBytes) {
        line.tooLong = true;
        line.text.clear();
    }
    return line;
}

namespace {

// One response: its text, with the long strings of the result lent from the
// result, which it keeps until the text is written.
struct Reply {
    Result result;
    LendingText text;
};

void answer(Host& host, const LineReader::Line& line, Reply& reply) {
    if (line.tooLong) {
        reply.text.own = failureResponse(host, "", failures::malformedRequest);
        return;
    }

    boost::json::parse_options options;
    options.max_depth = 512;
    boost::system::error_code ec;
    // Most requests parse without touching the heap.
    alignas(std::max_align_t) unsigned char arena[4096];
    boost::json::monotonic_resource memory(arena, sizeof arena);
    boost::json::value parsed = boost::json::parse(line.text, ec, &memory, options);
    if (ec) {
        reply.text.own = failureResponse(host, "", failures::platformError);
        return;
    }
    if (!parsed.is_object()) {
        // Only an object or an array stands at the top of a request line.
        reply.text.own =
            failureResponse(host, "", parsed.is_array() ? failures::malformedRequest : failures::platformError);
        return;
    }
    const boost::json::object& request = parsed.get_object();
    std::string_view id;
    if (const auto* text = request.if_contains("id"); text != nullptr && text->is_string()) id = text->get_string();

    try {
        reply.result = host.handle(request);
        reply.text = serializeSortedLending(reply.result);
    } catch (const Failure& failure) {
        reply.text.own = failureResponse(host, id, failure);
    } catch (...) {
        reply.text.own = failureResponse(host, id, failures::platformError);
    }
}

}  // namespace

std::string respond(Host& host, const LineReader::Line& line) {
    Reply reply;
    answer(host, line, reply);
    return reply.text.joined();
}

void runLoop(Host& host, int in, int out) {
    LineReader reader(in);
    while (auto line = reader.next()) {
        Reply reply;
        answer(host, *line, reply);
        const LendingText& text = reply.text;
        if (text.own.empty()) continue;
        // The response's own bytes around each lent string, then the line feed.
        std::vector<iovec> pieces;
        pieces.reserve(2 * text.lent.size() + 2);
        std::size_t from = 0;
        for (const auto& lent : text.lent) {
            pieces.push_back(piece(text.own.data() + from, lent.at - from));
            pieces.push_back(piece(lent.text.data(), lent.text.size()));
            from = lent.at;
        }
        pieces.push_back(piece(text.own.data() + from, text.own.size() - from));
        pieces.push_back(piece("\n", 1));
        writeAll(out, std::move(pieces));
    }
}

}  // namespace brindlecast
