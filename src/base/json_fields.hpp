#pragma once

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <optional>
#include <string_view>

// How every subsystem reads a field of a decoded message. A field of the wrong kind reads as absent, never as
// an error, so a malformed message falls through the same checks as one that lacks the field.
//
// The kinds: a number is any JSON number, and true/false count as the numbers 1/0 wherever a number is read;
// a boolean is true/false, or a number equal to 1 or 0; a string is a JSON string only, so "12" is never a
// number and 12 never a string; null, arrays and objects are none of these.
namespace velmora {

// The value as a number: JSON numbers, and true/false as 1/0.
std::optional<double> numberValue(const boost::json::value& v);
// The value as a boolean: true/false, and numbers equal to 1 or 0.
std::optional<bool> booleanValue(const boost::json::value& v);

// The field as a signed 64-bit integer. Integers are taken as they are; numbers with a fractional part are
// truncated toward zero (2.9 gives 2, -0.5 gives 0, -1.5 gives -1); true/false give 1/0.
//
// A number outside the signed 64-bit range (an unsigned integer above it, a huge double, an infinity)
// saturates to the nearest end of the range, so it can never wrap into a small value that a later range
// test would accept. A NaN, which no JSON text can carry, gives no result.
std::optional<std::int64_t> readInt(const boost::json::object& map, std::string_view key);
// The field as a double, with no finiteness test: callers that need a finite value make it.
std::optional<double> readDouble(const boost::json::object& map, std::string_view key);
std::optional<bool> readBool(const boost::json::object& map, std::string_view key);
// A view into `map`: valid while the map is alive and unchanged.
std::optional<std::string_view> readString(const boost::json::object& map, std::string_view key);
// nullptr when the field is absent or of another kind.
const boost::json::object* readObject(const boost::json::object& map, std::string_view key);
const boost::json::array* readArray(const boost::json::object& map, std::string_view key);

}  // namespace velmora
