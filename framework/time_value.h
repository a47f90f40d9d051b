// Time values (signed seconds since 1970-01-01 00:00:00 UTC) to and from the local SYSTEMTIME the
// date-time control works with. Values before 1970 convert like any other: the program's default
// schedule lies on 1 January 1970, where an early local hour east of UTC is a negative value.
#pragma once

#include <windows.h>

#include <cstdint>

SYSTEMTIME LocalTimeFromValue(std::int64_t value);
std::int64_t ValueFromLocalTime(const SYSTEMTIME& local);
