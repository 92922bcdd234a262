// debugger.cpp - DbgPrint, the captured debugger output and the platform's printf rules
// (shared with swprintf in rtl.cpp).
#include "sim/debugger.h"

#include <cstdint>
#include <cstdio>

namespace sim {

namespace {

enum class Size { Default, Char, Short, Long, LongLong, Pointer, SizeT, Wide };

struct FieldFormat {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;     // -1: none
    Size size = Size::Default;
};

void Pad(std::u16string &out, int count, char16_t fill)
{
    for (int i = 0; i < count; ++i)
        out.push_back(fill);
}

// Sign or prefix, zero or blank padding, precision digits.
void PutInteger(std::u16string &out, const FieldFormat &field, uint64_t magnitude, bool negative,
                bool isSigned, unsigned base, bool upper)
{
    const char *digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string digits;
    for (uint64_t v = magnitude; v != 0; v /= base)
        digits.insert(digits.begin(), static_cast<char16_t>(digitSet[v % base]));
    if (field.precision < 0 && digits.empty())
        digits = u"0";
    if (field.precision >= 0 && static_cast<int>(digits.size()) < field.precision)
        digits.insert(0, static_cast<size_t>(field.precision) - digits.size(), u'0');

    std::u16string prefix;
    if (isSigned) {
        if (negative)
            prefix = u"-";
        else if (field.plus)
            prefix = u"+";
        else if (field.space)
            prefix = u" ";
    }
    if (field.alternate && magnitude != 0) {
        if (base == 16)
            prefix = upper ? u"0X" : u"0x";
        else if (base == 8 && digits.front() != u'0')
            prefix = u"0";
    }
    const int length = static_cast<int>(prefix.size() + digits.size());
    const int padding = field.width > length ? field.width - length : 0;
    if (field.left) {
        out += prefix + digits;
        Pad(out, padding, u' ');
    } else if (field.zero && field.precision < 0) {
        out += prefix;
        Pad(out, padding, u'0');
        out += digits;
    } else {
        Pad(out, padding, u' ');
        out += prefix + digits;
    }
}

void PutText(std::u16string &out, const FieldFormat &field, std::u16string text)
{
    if (field.precision >= 0 && text.size() > static_cast<size_t>(field.precision))
        text.resize(static_cast<size_t>(field.precision));
    const int padding = field.width > static_cast<int>(text.size())
                            ? field.width - static_cast<int>(text.size())
                            : 0;
    if (field.left) {
        out += text;
        Pad(out, padding, u' ');
    } else {
        Pad(out, padding, field.zero ? u'0' : u' ');
        out += text;
    }
}

std::u16string Widen(const char *text, size_t length)
{
    std::u16string wide;
    for (size_t i = 0; i < length; ++i)
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i])));
    return wide;
}

std::u16string NarrowArgument(const char *text)
{
    if (text == nullptr)
        return u"(null)";
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    return Widen(text, length);
}

std::u16string WideArgument(const char16_t *text)
{
    if (text == nullptr)
        return u"(null)";
    return std::u16string(text);
}

template <typename CharT> char16_t Unit(CharT c)
{
    return static_cast<char16_t>(static_cast<std::make_unsigned_t<CharT>>(c));
}

template <typename CharT>
std::u16string Format(const CharT *format, va_list args, bool wideFormat)
{
    std::u16string out;
    const CharT *p = format;
    while (*p != 0) {
        if (*p != '%') {
            out.push_back(Unit(*p++));
            continue;
        }
        const CharT *start = p++;
        FieldFormat field;
        for (;; ++p) {
            if (*p == '-')
                field.left = true;
            else if (*p == '+')
                field.plus = true;
            else if (*p == ' ')
                field.space = true;
            else if (*p == '#')
                field.alternate = true;
            else if (*p == '0')
                field.zero = true;
            else
                break;
        }
        if (*p == '*') {
            field.width = va_arg(args, int);
            if (field.width < 0) {
                field.left = true;
                field.width = -field.width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9')
                field.width = field.width * 10 + (*p++ - '0');
        }
        if (*p == '.') {
            ++p;
            field.precision = 0;
            if (*p == '*') {
                field.precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9')
                    field.precision = field.precision * 10 + (*p++ - '0');
            }
        }
        if (*p == 'h') {
            field.size = Size::Short;
            if (*++p == 'h') {
                field.size = Size::Char;
                ++p;
            }
        } else if (*p == 'l') {
            field.size = Size::Long;
            if (*++p == 'l') {
                field.size = Size::LongLong;
                ++p;
            }
        } else if (*p == 'w') {
            field.size = Size::Wide;
            ++p;
        } else if (*p == 'z') {
            field.size = Size::SizeT;
            ++p;
        } else if (*p == 'I') {
            if (p[1] == '6' && p[2] == '4') {
                field.size = Size::LongLong;
                p += 3;
            } else if (p[1] == '3' && p[2] == '2') {
                field.size = Size::Long;
                p += 3;
            } else {
                field.size = Size::Pointer;
                ++p;
            }
        }
        const CharT conversion = *p;
        if (conversion == 0)
            break;
        ++p;
        switch (conversion) {
        case 'd':
        case 'i': {
            int64_t value;
            switch (field.size) {
            case Size::LongLong: value = va_arg(args, long long); break;
            case Size::Pointer: value = va_arg(args, intptr_t); break;
            case Size::SizeT: value = static_cast<int64_t>(va_arg(args, size_t)); break;
            case Size::Short: value = static_cast<short>(va_arg(args, int)); break;
            case Size::Char: value = static_cast<signed char>(va_arg(args, int)); break;
            default: value = va_arg(args, int); break;  // 'l' is 32 bits on the platform
            }
            const bool negative = value < 0;
            const uint64_t magnitude =
                negative ? uint64_t(0) - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
            PutInteger(out, field, magnitude, negative, true, 10, false);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            uint64_t value;
            switch (field.size) {
            case Size::LongLong: value = va_arg(args, unsigned long long); break;
            case Size::Pointer: value = va_arg(args, uintptr_t); break;
            case Size::SizeT: value = va_arg(args, size_t); break;
            case Size::Short: value = static_cast<unsigned short>(va_arg(args, unsigned)); break;
            case Size::Char: value = static_cast<unsigned char>(va_arg(args, unsigned)); break;
            default: value = va_arg(args, unsigned); break;
            }
            const unsigned base = conversion == 'u' ? 10 : conversion == 'o' ? 8 : 16;
            PutInteger(out, field, value, false, false, base, conversion == 'X');
            break;
        }
        case 'p': {
            FieldFormat pointer = field;
            pointer.precision = static_cast<int>(2 * sizeof(void *));
            PutInteger(out, pointer, reinterpret_cast<uintptr_t>(va_arg(args, void *)), false,
                       false, 16, true);
            break;
        }
        case 'c':
        case 'C': {
            bool wide = (conversion == 'c') == wideFormat;
            if (field.size == Size::Short)
                wide = false;
            else if (field.size == Size::Long || field.size == Size::Wide)
                wide = true;
            const int value = va_arg(args, int);
            char16_t unit = wide ? static_cast<char16_t>(value)
                                 : static_cast<char16_t>(static_cast<unsigned char>(value));
            PutText(out, field, std::u16string(1, unit));
            break;
        }
        case 's':
        case 'S': {
            bool wide = (conversion == 's') == wideFormat;
            if (field.size == Size::Short)
                wide = false;
            else if (field.size == Size::Long || field.size == Size::Wide)
                wide = true;
            if (wide)
                PutText(out, field, WideArgument(va_arg(args, const char16_t *)));
            else
                PutText(out, field, NarrowArgument(va_arg(args, const char *)));
            break;
        }
        case 'Z': {
            if (field.size == Size::Wide || field.size == Size::Long) {
                const auto *counted = va_arg(args, const UNICODE_STRING *);
                if (counted == nullptr || counted->Buffer == nullptr)
                    PutText(out, field, u"(null)");
                else
                    PutText(out, field,
                            std::u16string(counted->Buffer, counted->Length / sizeof(WCHAR)));
            } else {
                const auto *counted = va_arg(args, const STRING *);
                if (counted == nullptr || counted->Buffer == nullptr)
                    PutText(out, field, u"(null)");
                else
                    PutText(out, field, Widen(counted->Buffer, counted->Length));
            }
            break;
        }
        case 'n':
            (void)va_arg(args, void *);     // never written: the platform refuses %n too
            break;
        case '%':
            out.push_back(u'%');
            break;
        default:
            // Not a conversion: shown as written.
            for (const CharT *c = start; c != p; ++c)
                out.push_back(Unit(*c));
            break;
        }
    }
    return out;
}

}  // namespace

std::u16string FormatPlatform(const char *format, va_list args)
{
    return Format(format, args, false);
}

std::u16string FormatPlatform(const char16_t *format, va_list args)
{
    return Format(format, args, true);
}

Debugger::Debugger(bool echo) : echo_(echo) {}

void Debugger::Print(std::string text)
{
    if (text.size() > kMaximumPrint)
        text.resize(kMaximumPrint);
    std::lock_guard<std::mutex> lock(mutex_);
    text_ += text;
    if (echo_) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    prints_.push_back(std::move(text));
}

std::string Debugger::Text() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

std::vector<std::string> Debugger::Lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text_.size()) {
        size_t end = text_.find('\n', begin);
        if (end == std::string::npos) {
            lines.push_back(text_.substr(begin));
            break;
        }
        lines.push_back(text_.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

std::vector<std::string> Debugger::Prints() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return prints_;
}

void Debugger::Clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
    prints_.clear();
}

void Debugger::SetEcho(bool echo)
{
    std::lock_guard<std::mutex> lock(mutex_);
    echo_ = echo;
}

}  // namespace sim

//
// DbgPrint - formats with the platform's conversions and hands the text to the debugger.
// Any IRQL, any thread.
//
extern "C" ULONG KRV_CDECL DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    std::u16string wide = sim::FormatPlatform(Format, args);
    va_end(args);
    std::string text;
    text.reserve(wide.size());
    for (char16_t unit : wide)
        text.push_back(unit < 0x100 ? static_cast<char>(unit) : '?');
    sim::Machine::Current().debugger().Print(std::move(text));
    return STATUS_SUCCESS;
}
