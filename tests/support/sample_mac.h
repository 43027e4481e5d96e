// A small, complete virtual Mac for tests and the fuzzer that drive every
// operation: two small displays, a few application bundles on disk, running
// applications with windows, and request lines of every kind against it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>

namespace testing_support {

// Where the fuzzer and the corpus test keep the sample applications: a fixed
// place, so that the application identifiers in the seed corpus stay valid.
inline const std::string corpusApplicationsRoot = "/tmp/brindlecast-fuzz-apps";

// Writes a few application bundles under `root` (created if missing): the
// scan roots "applications" (with a sub-folder, a bundle without executable,
// a blocked bundle, a hidden one, a symbolic link and one with a corrupt
// icon), "system" and "home" (with a protected bundle). Returns the
// "applicationFolders" object for them. Writing again over an existing tree
// is harmless.
boost::json::object writeSampleApplications(const std::string& root);

// A Mac on which every operation can succeed: unlocked, every permission,
// two small displays (so captures stay cheap), and three of the sample
// applications running with windows. `root` as for writeSampleApplications.
boost::json::object readyMacState(const std::string& root);

// A Mac whose session lets requests through but whose platform fails or
// refuses at every later turn: no events can be made, the focus is a
// password field, the display list vanishes, screenshots and launches fail,
// the login window does not answer, no application accepts anything.
boost::json::object brokenMacState(const std::string& root);

// The monitor identifier of the first sample display, and the application
// identifier of the sample bundle at `path` under `root`.
std::string sampleMonitorId();
std::string sampleAppId(const std::string& root, std::string_view path);

// Well-formed request lines, without line feeds, for every operation and
// every action (with their variants), each carrying the identifier `id`.
std::vector<std::string> sampleRequests(std::string_view id, const std::string& root);

}  // namespace testing_support
