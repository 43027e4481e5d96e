// Reading the virtual Mac's state file: the one reader that the virtual Mac
// and the state checker share, so both see the same state.
#pragma once

#include <string>

#include <boost/json/object.hpp>

namespace brindlecast::platform {

struct StateFile {
    enum class Outcome { ok, unreadable, invalidJson, notObject };
    Outcome outcome = Outcome::unreadable;
    boost::json::object state;  // the file's object when ok
    std::string problem;        // what went wrong, for people: empty when ok
};

// Reads and parses the file. Anything but ok makes a dead Mac.
StateFile readStateFile(const std::string& path);

}  // namespace brindlecast::platform
