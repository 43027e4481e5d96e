#include "support/response_check.h"

#include <algorithm>

#include <boost/json.hpp>

#include "host/failure.h"
#include "host/loop.h"
#include "host/text.h"

namespace testing_support {

namespace {

using namespace brindlecast;

// Every failure the agent can answer with.
constexpr Failure knownFailures[] = {
    failures::malformedRequest,
    failures::unknownOrIncomplete,
    failures::invalidIdentifier,
    failures::unknownOperation,
    failures::unknownAction,
    failures::unknownPermission,
    failures::unknownPresentationAction,
    failures::unknownPowerAction,
    failures::platformError,
    failures::locked,
    failures::protectedScreen,
    failures::passwordField,
    failures::accessibilityMissing,
    failures::keyEventUnavailable,
    failures::noTextField,
    failures::fieldRefusesText,
    failures::textInputUnavailable,
    failures::invalidNumber,
    failures::outOfBounds,
    failures::unknownMouseButton,
    failures::emptyScroll,
    failures::invalidText,
    failures::invalidTextInput,
    failures::mediaControlMissing,
    failures::mediaUnavailable,
    failures::powerDeclined,
    failures::noDisplay,
    failures::displaysUnreadable,
    failures::screenRecordingMissing,
    failures::screenPermissionRemoved,
    failures::frameTooLarge,
    failures::unknownProfile,
    failures::monitorGone,
    failures::displayNotShareable,
    failures::noAppWindow,
    failures::appNotInCatalog,
    failures::invalidApp,
    failures::unknownAppAction,
    failures::appNotOpen,
    failures::appCannotClose,
    failures::closeDeclined,
};

bool knownFailure(std::string_view code, std::string_view message, platform::DesktopSystem system) {
    const bool onLinux = system == platform::DesktopSystem::linuxX11;
    return std::any_of(std::begin(knownFailures), std::end(knownFailures), [&](const Failure& f) {
        return f.code == code && (onLinux ? f.onLinux() : f.message) == message;
    });
}

bool keysInOrder(const boost::json::value& value) {
    if (const auto* object = value.if_object()) {
        const boost::json::key_value_pair* previous = nullptr;
        for (const auto& member : *object) {
            if (previous != nullptr && !(previous->key() < member.key())) return false;
            if (!keysInOrder(member.value())) return false;
            previous = &member;
        }
    } else if (const auto* array = value.if_array()) {
        return std::all_of(array->begin(), array->end(), [](const auto& v) { return keysInOrder(v); });
    }
    return true;
}

struct Expected {
    std::string id;
    const Failure* failure = nullptr;  // the exact failure, when the line alone decides it
};

// What the loop must answer for one line, as far as the line alone decides it.
Expected expectedFor(std::string_view raw, bool terminated) {
    if (terminated && !raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    std::string text;
    repairUtf8(raw, text);
    if (text.size() > maxLineBytes) return {"", &failures::malformedRequest};
    // Nesting deeper than this is refused as a parse error.
    boost::json::parse_options options;
    options.max_depth = 512;
    boost::system::error_code ec;
    boost::json::value parsed = boost::json::parse(text, ec, {}, options);
    if (ec) return {"", &failures::platformError};
    if (parsed.is_array()) return {"", &failures::malformedRequest};
    if (!parsed.is_object()) return {"", &failures::platformError};
    const auto* id = parsed.get_object().if_contains("id");
    if (id == nullptr || !id->is_string()) return {"", &failures::invalidIdentifier};
    const auto& identifier = id->get_string();
    Expected expected{std::string(graphemePrefix(identifier, 32))};
    if (graphemeCount(identifier, 32) > 32) expected.failure = &failures::invalidIdentifier;
    return expected;
}

std::string excerpt(std::string_view text) {
    std::string out(text.substr(0, 300));
    if (text.size() > 300) out += "...";
    return out;
}

}  // namespace

std::string responseProblem(std::string_view line, platform::DesktopSystem system) {
    boost::system::error_code ec;
    boost::json::value parsed = boost::json::parse(line, ec);
    if (ec) return "not JSON (" + ec.message() + ")";
    if (boost::json::serialize(parsed) != line) return "not compact JSON";
    const auto* object = parsed.if_object();
    if (object == nullptr) return "not an object";
    const auto* id = object->if_contains("id");
    if (id == nullptr || !id->is_string()) return "no text \"id\"";
    if (graphemeCount(id->get_string(), 32) > 32) return "\"id\" longer than 32 characters";
    const auto* ok = object->if_contains("ok");
    if (ok == nullptr || !ok->is_bool()) return "no boolean \"ok\"";
    if (ok->get_bool()) {
        if (!keysInOrder(parsed)) return "success keys not in order";
        return {};
    }
    const auto* code = object->if_contains("code");
    const auto* error = object->if_contains("error");
    if (object->size() != 4 || code == nullptr || error == nullptr || !code->is_string() || !error->is_string()) {
        return "failure without exactly \"id\", \"ok\", \"code\" and \"error\"";
    }
    if (!knownFailure(code->get_string(), error->get_string(), system)) return "unknown failure code or message";
    return {};
}


std::string answersProblem(std::string_view input, std::string_view output) {
    if (!output.empty() && output.back() != '\n') return "the output does not end in a line feed";
    std::size_t in = 0;
    std::size_t out = 0;
    std::size_t index = 0;
    while (in < input.size()) {
        ++index;
        const std::size_t lf = input.find('\n', in);
        const bool terminated = lf != std::string_view::npos;
        const std::string_view line = input.substr(in, terminated ? lf - in : std::string_view::npos);
        in = terminated ? lf + 1 : input.size();
        auto problem = [&](std::string_view what, std::string_view response) {
            return "line " + std::to_string(index) + ": " + std::string(what) + "\n  line: " + excerpt(line) +
                   "\n  response: " + excerpt(response);
        };

        if (out >= output.size()) return problem("no response", "");
        const std::size_t end = output.find('\n', out);
        const std::string_view response = output.substr(out, end - out);
        out = end + 1;

        if (auto wrong = responseProblem(response); !wrong.empty()) return problem(wrong, response);
        const Expected expected = expectedFor(line, terminated);
        const auto answer = boost::json::parse(response).as_object();
        if (answer.at("id").get_string() != expected.id) return problem("the answer to another line", response);
        if (expected.failure != nullptr) {
            const bool matches = !answer.at("ok").get_bool() &&
                                 answer.at("code").get_string() == expected.failure->code &&
                                 answer.at("error").get_string() == expected.failure->message;
            if (!matches) return problem("not the failure this line calls for", response);
        }
    }
    if (out < output.size()) return "more responses than lines: " + excerpt(output.substr(out));
    return {};
}

}  // namespace testing_support
