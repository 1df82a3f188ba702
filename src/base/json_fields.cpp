#include "base/json_fields.hpp"

#include <cmath>
#include <limits>

namespace velmora {

namespace {

const boost::json::value* field(const boost::json::object& map, std::string_view key) {
    return map.if_contains(key);
}

std::int64_t saturatedInt(double d) {
    // 2^63 is exactly representable as a double while INT64_MAX is not, so the upper test is strict.
    constexpr double limit = 9223372036854775808.0;
    if (d >= limit) return std::numeric_limits<std::int64_t>::max();
    if (d < -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);  // the conversion truncates toward zero
}

}  // namespace

std::optional<double> numberValue(const boost::json::value& v) {
    switch (v.kind()) {
        case boost::json::kind::int64:
            return static_cast<double>(v.get_int64());
        case boost::json::kind::uint64:
            return static_cast<double>(v.get_uint64());
        case boost::json::kind::double_:
            return v.get_double();
        case boost::json::kind::bool_:
            return v.get_bool() ? 1.0 : 0.0;
        default:
            return std::nullopt;
    }
}

std::optional<bool> booleanValue(const boost::json::value& v) {
    if (v.is_bool()) return v.get_bool();
    const auto number = numberValue(v);
    if (number == 1.0) return true;
    if (number == 0.0) return false;
    return std::nullopt;
}

std::optional<std::int64_t> readInt(const boost::json::object& map, std::string_view key) {
    const auto* v = field(map, key);
    if (v == nullptr) return std::nullopt;
    switch (v->kind()) {
        case boost::json::kind::int64:
            return v->get_int64();
        case boost::json::kind::uint64: {
            const auto u = v->get_uint64();
            constexpr auto max = std::numeric_limits<std::int64_t>::max();
            return u > static_cast<std::uint64_t>(max) ? max : static_cast<std::int64_t>(u);
        }
        case boost::json::kind::double_: {
            const double d = v->get_double();
            if (std::isnan(d)) return std::nullopt;
            return saturatedInt(d);
        }
        case boost::json::kind::bool_:
            return v->get_bool() ? 1 : 0;
        default:
            return std::nullopt;
    }
}

std::optional<double> readDouble(const boost::json::object& map, std::string_view key) {
    const auto* v = field(map, key);
    if (v == nullptr) return std::nullopt;
    return numberValue(*v);
}

std::optional<bool> readBool(const boost::json::object& map, std::string_view key) {
    const auto* v = field(map, key);
    if (v == nullptr) return std::nullopt;
    return booleanValue(*v);
}

std::optional<std::string_view> readString(const boost::json::object& map, std::string_view key) {
    const auto* v = field(map, key);
    if (v == nullptr || !v->is_string()) return std::nullopt;
    return std::string_view(v->get_string());
}

const boost::json::object* readObject(const boost::json::object& map, std::string_view key) {
    const auto* v = field(map, key);
    return v == nullptr ? nullptr : v->if_object();
}

const boost::json::array* readArray(const boost::json::object& map, std::string_view key) {
    const auto* v = field(map, key);
    return v == nullptr ? nullptr : v->if_array();
}

}  // namespace velmora
