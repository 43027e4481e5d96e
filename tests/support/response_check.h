// What the agent's responses must look like, whatever the requests were.
#pragma once

#include <string>
#include <string_view>

#include "platform/mac.h"

namespace testing_support {

// Why `line` (without its line feed) is not a well-formed response, or empty
// when it is one: a compact JSON object in valid UTF-8 with "id" (a text of
// at most 32 characters) and "ok" (a boolean); a success with the keys of
// every object in order; a failure with exactly "id", "ok", "code" and
// "error", holding one of the agent's fixed codes and messages for `system`.
std::string responseProblem(std::string_view line,
                            brindlecast::platform::DesktopSystem system = brindlecast::platform::DesktopSystem::mac);

// Why `output` is not the agent's answer to `input`, or empty when it is:
// one well-formed response line per input line (lines end at a line feed,
// and a last line may end at the end of input), in order, each answering its
// own line: it carries the line's request identifier cut to 32 characters,
// or the empty one when the line holds no request with a text identifier,
// and the fixed failure when the line alone decides it (too long, not JSON,
// not an object, no valid identifier).
std::string answersProblem(std::string_view input, std::string_view output);

}  // namespace testing_support
