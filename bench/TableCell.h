#pragma once

#include <cstdio>
#include <string>

namespace tarvik::bench {

// One number of a results table; "n/a" for a measure that could not be taken (negative).
inline std::string Cell(double value, int precision = 2) {
    if (value < 0) {
        return "n/a";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", precision, value);
    return text;
}

}  // namespace tarvik::bench
