#include "host/validate.h"

#include <cmath>

#include "host/failure.h"

namespace brindlecast {

void exact(const Request& request, std::initializer_list<std::string_view> required,
           std::initializer_list<std::string_view> optional) {
    for (std::string_view key : required) {
        if (!request.contains(key)) fail(failures::unknownOrIncomplete);
    }
    for (const auto& entry : request) {
        std::string_view key = entry.key();
        if (key == "id") continue;
        bool allowed = false;
        for (std::string_view k : required) allowed = allowed || k == key;
        for (std::string_view k : optional) allowed = allowed || k == key;
        if (!allowed) fail(failures::unknownOrIncomplete);
    }
}

double numberValue(const boost::json::value* value, double lower, double upper, bool integer) {
    // Booleans are a kind of their own here, so they never pass as numbers.
    if (value == nullptr || !value->is_number()) fail(failures::invalidNumber);
    double n = value->to_number<double>();
    if (!std::isfinite(n) || n < lower || n > upper) fail(failures::outOfBounds);
    if (integer && std::trunc(n) != n) fail(failures::outOfBounds);
    return n;
}

double number(const Request& request, std::string_view key, double lower, double upper, bool integer) {
    return numberValue(request.if_contains(key), lower, upper, integer);
}

const boost::json::string* stringField(const Request& request, std::string_view key) {
    const boost::json::value* value = request.if_contains(key);
    return value != nullptr ? value->if_string() : nullptr;
}

}  // namespace brindlecast
