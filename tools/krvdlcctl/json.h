// json.h - the --json output of krvdlcctl: a small ordered JSON value that a command fills
// in and prints as one line at its end.
//
// Written here rather than taken from a library because krvdlcctl.exe links nothing but
// the system's DLLs and the value needs no more than objects, arrays, strings, numbers and
// booleans.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace krvdlcctl {

class Json {
public:
    using Array = std::vector<Json>;
    using Object = std::vector<std::pair<std::string, Json>>;

    Json() : value_(nullptr) {}
    Json(std::nullptr_t) : value_(nullptr) {}
    Json(bool value) : value_(value) {}
    Json(int value) : value_(static_cast<int64_t>(value)) {}
    Json(int64_t value) : value_(value) {}
    Json(uint32_t value) : value_(static_cast<int64_t>(value)) {}
    Json(uint64_t value) : value_(static_cast<int64_t>(value)) {}
    Json(double value) : value_(value) {}
    Json(const char *value) : value_(std::string(value)) {}
    Json(std::string value) : value_(std::move(value)) {}
    Json(Array value) : value_(std::move(value)) {}
    Json(Object value) : value_(std::move(value)) {}

    static Json MakeObject() { return Json(Object{}); }
    static Json MakeArray() { return Json(Array{}); }

    // Object member (added at the end, replaced when present); the value must be an object.
    Json &Set(const std::string &key, Json value);
    // Array element; the value must be an array.
    Json &Append(Json value);

    std::string Dump() const;

private:
    void Write(std::string &out) const;
    std::variant<std::nullptr_t, bool, int64_t, double, std::string, Array, Object> value_;
};

}  // namespace krvdlcctl
