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
