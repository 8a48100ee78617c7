#include "platform/graphics/Exceptions.h"

#include <cstdio>
#include <span>
#include <vector>

namespace {

std::string FillPlaces(std::string_view message, std::span<const std::string_view> args) {
    auto next = args.begin();
    size_t extra = 0;
    for (std::string_view arg : args) extra += arg.size();
    std::string result;
    result.reserve(message.size() + extra);
    for (size_t i = 0; i < message.size(); ++i) {
        if (message[i] == '%' && i + 1 < message.size() && message[i + 1] == 's') {
            if (next != args.end()) result += *next++;
            ++i;
        } else {
            result += message[i];
        }
    }
    return result;
}

} // namespace

std::string FillMessage(std::string_view message, std::initializer_list<std::string_view> args) {
    return FillPlaces(message, std::span<const std::string_view>(args.begin(), args.size()));
}

EImageFault::EImageFault(std::string_view message, std::initializer_list<std::string_view> args)
    : EInvalidGraphic(std::string()), template_(message), args_(args.begin(), args.end()) {
    // Without a format name the first place goes, with the space that follows it.
    std::string unnamed(message);
    if (const size_t place = unnamed.find("%s"); place != std::string::npos)
        unnamed.erase(place, unnamed.compare(place + 2, 1, " ") == 0 ? 3 : 2);
    const std::vector<std::string_view> views(args_.begin(), args_.end());
    SetMessage(FillPlaces(unnamed, views));
}

void EImageFault::NameFormat(std::string_view format) {
    if (named_) return;
    named_ = true;
    std::vector<std::string_view> views{format};
    views.insert(views.end(), args_.begin(), args_.end());
    SetMessage(FillPlaces(template_, views));
}

std::string FormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) return {};
    std::string result(static_cast<size_t>(needed), '\0');
    std::vsnprintf(result.data(), result.size() + 1, format, args);
    return result;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string result = FormatV(format, args);
    va_end(args);
    return result;
}

bool TryStrToInt(std::string_view text, int32_t& value) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return false;
    uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        if (magnitude > 0xFFFFFFFFull) return false;
    }
    if (base == 10) {
        if (negative ? magnitude > 0x80000000ull : magnitude > 0x7FFFFFFFull) return false;
        value = negative ? static_cast<int32_t>(-static_cast<int64_t>(magnitude))
                         : static_cast<int32_t>(magnitude);
    } else {
        // Hexadecimal covers the full 32 bits: $FFFFFFFF is -1.
        const auto bits = static_cast<uint32_t>(magnitude);
        value = static_cast<int32_t>(negative ? 0u - bits : bits);
    }
    return true;
}

int32_t StrToInt(std::string_view text) {
    int32_t value = 0;
    if (!TryStrToInt(text, value)) {
        throw EConvertError(Format("'%.*s' n'est pas une valeur entière correcte",
                                   static_cast<int>(text.size()), text.data()));
    }
    return value;
}
