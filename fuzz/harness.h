// What the fuzz targets share: a scratch folder, reusable scratch files, the
// exchange of one input with a Host through the real request loop, and the
// checks that every exchange must pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace brindlecast {
class Host;
}

namespace fuzzing {

// Sets up the scratch folder (removed at exit) and the scratch files, and
// notes whether the fuzzer moved its own output off standard error
// (-close_fd_mask=2 or 3), in which case every exchange checks that nothing
// is written there. Call once, from LLVMFuzzerInitialize.
void start(int argc, char** argv, std::string_view targetName);

// The scratch folder: a fresh one under the system's temporary folder.
const std::string& scratchDir();

// A scratch file without a name (created and unlinked at once, so nothing
// is left behind), open for reading and writing.
int anonymousFile();

void writeText(const std::string& path, std::string_view text);

// Runs `work`; whatever it writes to standard error is a broken rule.
void quietly(std::string_view machine, const std::function<void()>& work);

// Feeds `input` to the Host through the request loop as the agent reads its
// standard input, and returns everything written as responses; whatever is
// written to standard error meanwhile is a broken rule.
// `readSize` 0: the loop's own reads; otherwise reads of at most that many bytes.
std::string exchange(std::string_view machine, brindlecast::Host& host, std::string_view input,
                     std::size_t readSize = 0);

// The rule checks. `machine` names the virtual Mac in the report.
void checkAnswers(std::string_view machine, std::string_view input, std::string_view output);
// Every line of the event log at `logPath` is a JSON object; the log is then emptied.
void checkEventLog(std::string_view machine, const std::string& logPath);

// Reports a broken rule on the real standard error and aborts, so that
// libFuzzer keeps the input.
[[noreturn]] void violated(std::string_view machine, std::string_view what);

}  // namespace fuzzing
