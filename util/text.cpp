#include "text.h"

#include <algorithm>
#include <cstddef>

std::string del_space(std::string text) {
    std::size_t kept = text.size();
    while (kept > 0 && (text[kept - 1] == ' ' || text[kept - 1] == '\n'))
        --kept;
    return text.substr(0, kept);
}

bool equal_(std::string text, std::string prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::string int_string(int number) {
    if (number == 0) return "0";
    std::string digits;
    // Remainders of a negative number are zero or negative (division truncates
    // towards zero), so the digits come out without ever negating number,
    // which would overflow for the most negative one.
    for (int rest = number; rest != 0; rest /= 10) {
        int digit = rest % 10;
        digits += static_cast<char>('0' + (digit < 0 ? -digit : digit));
    }
    if (number < 0) digits += '-';
    std::reverse(digits.begin(), digits.end());
    return digits;
}

namespace {

const char hex_digits[] = "0123456789ABCDEF";

bool control(unsigned char code) {
    return code < 0x20 || code == 0x7f;
}

} // namespace

std::string printable(std::string_view text) {
    std::string shown;
    for (char c : text) {
        auto code = static_cast<unsigned char>(c);
        if (!control(code)) {
            shown += c;
            continue;
        }
        shown += "\\x";
        shown += hex_digits[code >> 4];
        shown += hex_digits[code & 15];
    }
    return shown;
}

std::string unusable_character(std::string_view path, bool command) {
#ifdef _WIN32
    (void)command;
#endif
    for (char c : path) {
        auto code = static_cast<unsigned char>(c);
#ifdef _WIN32
        if (c == '%') return "百分号 %";
#else
        if (!command && c == '\\') return "反斜杠 \\";
        if (!command && c == '"') return "双引号 \"";
#endif
        if (c == '\t') return "控制字符（制表符）";
        if (c == '\n') return "控制字符（换行符）";
        if (c == '\r') return "控制字符（回车符）";
        if (control(code))
            return std::string("控制字符（0x") + hex_digits[code >> 4] + hex_digits[code & 15] +
                   "）";
    }
    return {};
}
