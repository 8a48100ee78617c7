// The exception classes every layer of the program raises, and message formatting.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

// Common base: an error that carries a message text meant for the user.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }

protected:
    void SetMessage(std::string message) { message_ = std::move(message); }

private:
    std::string message_;
};

// Unreadable or unsupported image, registry misuse.
class EInvalidGraphic : public Exception {
public:
    using Exception::Exception;
};

// An image error raised by a helper that does not know which format it is reading: bounds,
// size arithmetic, memory limits. Its text is a message of the table whose first "%s" takes
// the format's short name; until the load that met it names the format, the name and the
// space after it are left out ("The %s data ends unexpectedly." reads "The data ends
// unexpectedly.").
class EImageFault : public EInvalidGraphic {
public:
    explicit EImageFault(std::string_view message,
                         std::initializer_list<std::string_view> args = {});
    // Names the format; only the first call counts, so an inner load's name stays.
    void NameFormat(std::string_view format);
    bool Named() const { return named_; }

private:
    std::string template_;
    std::vector<std::string> args_;
    bool named_ = false;
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

// A message with its "%s" places filled in order from `args`; places beyond the arguments are
// left empty. The arguments are inserted as they are, so an argument holding "%" cannot
// disturb the formatting.
std::string FillMessage(std::string_view message, std::initializer_list<std::string_view> args);

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
