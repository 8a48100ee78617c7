// The exception classes every layer of the program raises, and message formatting.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

// Common base: an error that carries a message text meant for the user.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }

private:
    std::string message_;
};

// Unreadable or unsupported image, registry misuse.
class EInvalidGraphic : public Exception {
public:
    using Exception::Exception;
};

// A decoder met data it cannot decode.
class EGraphicCompression : public Exception {
public:
    using Exception::Exception;
};

// Invalid colour manager settings.
class EColorConversionError : public Exception {
public:
    using Exception::Exception;
};

// A text that is not a number.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A stream could not be opened, read, written or positioned.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

// Text to 32-bit integer the way users type it: leading blanks, an optional sign, decimal or
// hexadecimal after "$", "x", "X", "0x" or "0X". Raises EConvertError with
// "'%s' n'est pas une valeur entière correcte" when the text is not such a number or does not
// fit in 32 bits.
int32_t StrToInt(std::string_view text);
// The same without raising; answers false for a bad text.
bool TryStrToInt(std::string_view text, int32_t& value);
