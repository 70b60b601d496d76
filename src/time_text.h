#ifndef FWLAUNCH_TIME_TEXT_H
#define FWLAUNCH_TIME_TEXT_H

#include <string>

// Times and durations as the views write them, the same in every locale.

// A time on the real-time clock, in seconds, as UTC to the millisecond:
// "2026-12-09T03:04:05.678Z" (RFC 3339), or with `compact`, for file
// names, "20261209T030405.678Z".
std::string utcTime(double time, bool compact);

// Seconds with `decimals` digits after the point: "12.3", "12.345".
std::string secondsText(double seconds, int decimals);

#endif
