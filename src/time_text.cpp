#include "time_text.h"

#include <charconv>
#include <cmath>
#include <ctime>

std::string utcTime(double time, bool compact)
{
    long long millis = std::llround(time * 1000);
    long long whole = millis / 1000, fraction = millis % 1000;
    if (fraction < 0) {
        whole -= 1;
        fraction += 1000;
    }
    time_t seconds = static_cast<time_t>(whole);
    struct tm utc = {};
    gmtime_r(&seconds, &utc);
    char text[64];
    strftime(text, sizeof text, compact ? "%Y%m%dT%H%M%S" : "%Y-%m-%dT%H:%M:%S", &utc);
    std::string milliseconds = std::to_string(1000 + fraction).substr(1);
    return text + ("." + milliseconds + "Z");
}

// Not printf: LC_NUMERIC could turn the point into a comma. Room for the
// largest double written out in full.
std::string secondsText(double seconds, int decimals)
{
    char text[320 + 32];
    auto converted = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed, decimals);
    if (converted.ec != std::errc())
        return "?";
    return std::string(text, converted.ptr);
}
