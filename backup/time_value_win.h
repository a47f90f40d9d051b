// Time values (signed seconds since 1970-01-01 00:00:00 UTC) to and from the local SYSTEMTIME the
// date-time control works with. Values before 1970 convert like any other: the program's default
// schedule lies on 1 January 1970, where an early local hour east of UTC is a negative value.
#pragma once

#include <windows.h>

#include <cstdint>

// False when the value has no local time (before 1601, or the system cannot convert it).
bool LocalSystemTime(std::int64_t value, SYSTEMTIME* local);
// The local time, or the UTC time when there is no local one.
SYSTEMTIME LocalTimeFromValue(std::int64_t value);
std::int64_t ValueFromLocalTime(const SYSTEMTIME& local);
