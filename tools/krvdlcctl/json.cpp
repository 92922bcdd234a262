// json.cpp - serialising krvdlcctl's --json values.
#include "tools/krvdlcctl/json.h"

#include <cmath>
#include <cstdio>

namespace krvdlcctl {

Json &Json::Set(const std::string &key, Json value)
{
    auto &members = std::get<Object>(value_);
    for (auto &member : members) {
        if (member.first == key) {
            member.second = std::move(value);
            return *this;
        }
    }
    members.emplace_back(key, std::move(value));
    return *this;
}

Json &Json::Append(Json value)
{
    std::get<Array>(value_).push_back(std::move(value));
    return *this;
}

std::string Json::Dump() const
{
    std::string out;
    Write(out);
    return out;
}

namespace {

void WriteString(std::string &out, const std::string &text)
{
    out.push_back('"');
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    out.push_back('"');
}

}  // namespace

void Json::Write(std::string &out) const
{
    if (std::holds_alternative<std::nullptr_t>(value_)) {
        out += "null";
    } else if (const bool *flag = std::get_if<bool>(&value_)) {
        out += *flag ? "true" : "false";
    } else if (const int64_t *integer = std::get_if<int64_t>(&value_)) {
        out += std::to_string(*integer);
    } else if (const double *number = std::get_if<double>(&value_)) {
        if (!std::isfinite(*number)) {
            out += "null";
        } else {
            char text[32];
            std::snprintf(text, sizeof text, "%.3f", *number);
            out += text;
        }
    } else if (const std::string *text = std::get_if<std::string>(&value_)) {
        WriteString(out, *text);
    } else if (const Array *array = std::get_if<Array>(&value_)) {
        out.push_back('[');
        for (size_t i = 0; i < array->size(); ++i) {
            if (i != 0)
                out.push_back(',');
            (*array)[i].Write(out);
        }
        out.push_back(']');
    } else {
        const Object &object = std::get<Object>(value_);
        out.push_back('{');
        for (size_t i = 0; i < object.size(); ++i) {
            if (i != 0)
                out.push_back(',');
            WriteString(out, object[i].first);
            out.push_back(':');
            object[i].second.Write(out);
        }
        out.push_back('}');
    }
}

}  // namespace krvdlcctl
