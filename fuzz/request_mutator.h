// Structure-aware inputs for the request targets. An input stays what the
// agent reads (request lines), so every corpus file replays as it is; the
// mutator (LLVMFuzzerCustomMutator, in request_mutator.cpp) builds and edits
// requests of the real operations and actions with odd values (numbers at
// and beyond their bounds, wrong types, long and odd strings, grapheme
// clusters, duplicate and foreign keys), and leaves some of its turns to
// libFuzzer's own byte mutations.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace fuzzing {

// One generated request line, without a line feed.
std::string generatedRequest(std::mt19937_64& random);

}  // namespace fuzzing
