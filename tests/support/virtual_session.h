// One running agent over one virtual Mac whose state a test sets before each
// request, with the event-log lines that request caused.
#pragma once

#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "support/agent.h"

namespace testing_support {

// The response to one request and the event-log lines, as written, that it caused.
struct Answer {
    std::string request;
    boost::json::object response;
    std::vector<std::string> log;

    bool ok() const { return response.at("ok").as_bool(); }
};

inline boost::json::object state(std::string_view json) { return boost::json::parse(json).as_object(); }

class VirtualSession {
public:
    VirtualSession() {
        files_.write({});
        agent_ = std::make_unique<AgentProcess>(files_.statePath());
    }

    // Sets the Mac to `macState` (the default Mac plus these keys), sends the request.
    Answer ask(std::string_view request, const boost::json::object& macState = {}) {
        files_.write(macState);
        files_.clearLog();
        Answer answer{std::string(request), agent_->ask(request), {}};
        std::ifstream file(files_.logPath());
        for (std::string line; std::getline(file, line);) answer.log.push_back(line);
        return answer;
    }

    VirtualMacFiles& files() { return files_; }

private:
    VirtualMacFiles files_;
    std::unique_ptr<AgentProcess> agent_;
};

// A success that posted exactly these event-log lines.
inline void expectPosted(const Answer& answer, const std::vector<std::string>& lines) {
    SCOPED_TRACE(answer.request);
    EXPECT_TRUE(answer.ok()) << boost::json::serialize(answer.response);
    EXPECT_EQ(answer.log, lines);
}

// A refusal with this code and message that posted nothing.
inline void expectRefused(const Answer& answer, std::string_view code, std::string_view message) {
    SCOPED_TRACE(answer.request);
    EXPECT_FALSE(answer.ok());
    if (answer.response.contains("code")) {
        EXPECT_EQ(answer.response.at("code").as_string(), code);
        EXPECT_EQ(answer.response.at("error").as_string(), message);
    }
    EXPECT_TRUE(answer.log.empty()) << answer.log.front();
}

namespace messages {
inline constexpr std::string_view lockedCode = "DESKTOP_LOCKED";
inline constexpr std::string_view locked =
    "Unlock your Mac and leave any password field before using remote controls.";
inline constexpr std::string_view protectedScreen = "macOS is showing a protected screen.";
inline constexpr std::string_view unavailableCode = "DESKTOP_INPUT_UNAVAILABLE";
inline constexpr std::string_view accessibility = "Allow Brindlecast in macOS Accessibility settings.";
inline constexpr std::string_view invalidCode = "DESKTOP_INPUT_INVALID";
inline constexpr std::string_view notAllowedCode = "COMMAND_NOT_ALLOWED";
inline constexpr std::string_view incomplete = "Unknown or incomplete request.";
}  // namespace messages

}  // namespace testing_support
