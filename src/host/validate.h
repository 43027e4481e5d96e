// The two validators every operation uses on its request dictionary.
#pragma once

#include <initializer_list>
#include <string_view>

#include <boost/json/object.hpp>

namespace brindlecast {

using Request = boost::json::object;
using Result = boost::json::object;

// The request holds every required key, and no key but the required, the
// optional and "id". A key counts whatever its value, null included.
void exact(const Request& request, std::initializer_list<std::string_view> required,
           std::initializer_list<std::string_view> optional = {});

// The numeric field under `key`: a JSON number (never a boolean), finite,
// within [lower, upper], and whole when `integer` is set. Returned as a double.
double number(const Request& request, std::string_view key, double lower, double upper, bool integer);

// The same rules applied to a value already taken from the request.
double numberValue(const boost::json::value* value, double lower, double upper, bool integer);

// The value under `key` when it is a string, else null.
const boost::json::string* stringField(const Request& request, std::string_view key);

}  // namespace brindlecast
