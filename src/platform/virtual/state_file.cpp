#include "platform/virtual/state_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <boost/json/stream_parser.hpp>

namespace brindlecast::platform {

namespace {

// Line and column (from 1) of a byte offset, for a message.
std::string position(const std::string& text, std::size_t offset) {
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace

StateFile readStateFile(const std::string& path) {
    StateFile out;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        out.problem = "cannot read the file: " + std::string(std::strerror(errno));
        return out;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    if (file.bad()) {
        out.problem = "cannot read the file";
        return out;
    }
    const std::string text = bytes.str();
    // The default parse options: no comments, no trailing commas, at most 32 levels.
    boost::json::stream_parser parser;
    boost::system::error_code ec;
    const std::size_t used = parser.write_some(text.data(), text.size(), ec);
    if (!ec && used < text.size()) ec = boost::json::error::extra_data;
    if (!ec) parser.finish(ec);
    if (ec) {
        out.outcome = StateFile::Outcome::invalidJson;
        out.problem = "not valid JSON at " + position(text, used) + ": " + ec.message();
        return out;
    }
    boost::json::value value = parser.release();
    if (!value.is_object()) {
        out.outcome = StateFile::Outcome::notObject;
        out.problem = "the state is not a JSON object";
        return out;
    }
    out.outcome = StateFile::Outcome::ok;
    out.state = std::move(value.get_object());
    return out;
}

}  // namespace brindlecast::platform
