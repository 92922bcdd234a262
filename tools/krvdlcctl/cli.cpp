// cli.cpp - argument scanning, parsers and the stop signal of krvdlcctl's commands.
#include "tools/krvdlcctl/cli.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

namespace krvdlcctl {

#ifdef _WIN32

StopSignal::StopSignal() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

StopSignal::~StopSignal()
{
    if (event_ != nullptr)
        CloseHandle(event_);
}

void StopSignal::Request()
{
    requested_ = true;
    if (event_ != nullptr)
        SetEvent(event_);
}

bool StopSignal::SleepFor(std::chrono::milliseconds duration)
{
    if (requested_)
        return false;
    if (event_ == nullptr)
        Sleep(static_cast<DWORD>(duration.count()));
    else
        WaitForSingleObject(event_, static_cast<DWORD>(duration.count()));
    return !requested_;
}

#else

StopSignal::StopSignal() = default;
StopSignal::~StopSignal() = default;

void StopSignal::Request()
{
    {
        std::lock_guard lock(mutex_);
        requested_ = true;
    }
    changed_.notify_all();
}

bool StopSignal::SleepFor(std::chrono::milliseconds duration)
{
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, duration, [this] { return requested_.load(); });
}

#endif

namespace {

bool IsOptionWord(const std::string &word)
{
    return word.size() >= 2 && word[0] == '-' && (word[1] == '-' || std::isalpha(static_cast<unsigned char>(word[1])));
}

}  // namespace

std::optional<std::string> ArgScanner::Positional()
{
    for (auto it = words_.begin(); it != words_.end(); ++it) {
        if (IsOptionWord(*it))
            continue;
        std::string word = *it;
        words_.erase(it);
        return word;
    }
    return std::nullopt;
}

bool ArgScanner::Flag(const std::string &name, const std::string &shortName)
{
    auto it = std::find_if(words_.begin(), words_.end(), [&](const std::string &word) {
        return word == name || (!shortName.empty() && word == shortName);
    });
    if (it == words_.end())
        return false;
    words_.erase(it);
    return true;
}

std::optional<std::string> ArgScanner::Value(const std::string &name, const std::string &shortName)
{
    std::optional<std::string> value;
    for (size_t i = 0; i < words_.size();) {
        const std::string &word = words_[i];
        if (word != name && (shortName.empty() || word != shortName)) {
            ++i;
            continue;
        }
        if (i + 1 >= words_.size()) {
            error_ = word + " needs a value";
            words_.erase(words_.begin() + static_cast<long>(i));
            return std::nullopt;
        }
        value = words_[i + 1];
        words_.erase(words_.begin() + static_cast<long>(i), words_.begin() + static_cast<long>(i) + 2);
    }
    return value;
}

std::vector<std::string> ArgScanner::Values(const std::string &name)
{
    std::vector<std::string> values;
    for (size_t i = 0; i < words_.size();) {
        if (words_[i] != name) {
            ++i;
            continue;
        }
        if (i + 1 >= words_.size()) {
            error_ = name + " needs a value";
            words_.pop_back();
            break;
        }
        values.push_back(words_[i + 1]);
        words_.erase(words_.begin() + static_cast<long>(i), words_.begin() + static_cast<long>(i) + 2);
    }
    return values;
}

std::string ArgScanner::Leftover() const
{
    if (words_.empty())
        return {};
    const std::string &word = words_.front();
    return (IsOptionWord(word) ? "unknown option " : "unexpected argument ") + word;
}

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

}  // namespace

std::optional<std::vector<uint8_t>> ParseHex(const std::string &text)
{
    std::string digits;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == ':' || c == '-' || c == '\t' || c == '\n' || c == '\r')
            continue;
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        if (HexDigit(c) < 0)
            return std::nullopt;
        digits.push_back(c);
    }
    if (digits.empty() || digits.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(HexDigit(digits[i]) << 4 | HexDigit(digits[i + 1])));
    return bytes;
}

std::string FormatHex(const std::vector<uint8_t> &bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 15]);
    }
    return text;
}

std::optional<uint64_t> ParseNumber(const std::string &text, uint64_t minimum, uint64_t maximum)
{
    if (text.empty() || text.size() > 20)
        return std::nullopt;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    uint64_t value = 0;
    for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
        int digit = hex ? HexDigit(text[i]) : (std::isdigit(static_cast<unsigned char>(text[i])) ? text[i] - '0' : -1);
        if (digit < 0)
            return std::nullopt;
        uint64_t base = hex ? 16 : 10;
        if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / base)
            return std::nullopt;
        value = value * base + static_cast<uint64_t>(digit);
    }
    if (value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

std::string RangeError(const std::string &option, const std::string &text, uint64_t minimum,
                       uint64_t maximum)
{
    return option + ": not a number between " + std::to_string(minimum) + " and " +
           std::to_string(maximum) + ": " + text;
}

}  // namespace krvdlcctl
