// The virtual Mac's state checker: what in a state file the virtual Mac
// would read differently from what its writer most likely meant.
#pragma once

#include <string>
#include <vector>

#include <boost/json/object.hpp>

namespace brindlecast::check {

// Reads the file with the virtual Mac's own reader and checks it. One line
// per problem, each beginning with where it is ("displays[0].bounds: ...");
// none when the state is sound.
std::vector<std::string> checkState(const std::string& path);

// The checks of a state that has been read: unknown keys, wrong types and
// values, picture files that cannot be decoded, and bundles in the
// application folders that will not be catalogued, with the reason.
std::vector<std::string> checkStateObject(const boost::json::object& state);

}  // namespace brindlecast::check
