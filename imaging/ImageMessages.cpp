#include "imaging/ImageMessages.h"

std::string FormatImageMessage(std::string_view message, std::string_view arg1,
                               std::string_view arg2) {
    const std::string_view args[] = {arg1, arg2};
    size_t next = 0;
    std::string result;
    result.reserve(message.size() + arg1.size() + arg2.size());
    for (size_t i = 0; i < message.size(); ++i) {
        if (message[i] == '%' && i + 1 < message.size() && message[i + 1] == 's') {
            if (next < std::size(args)) result += args[next++];
            ++i;
        } else {
            result += message[i];
        }
    }
    return result;
}
