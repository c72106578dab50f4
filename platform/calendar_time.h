// A moment as calendar fields in UTC, safe on any thread (the C library's
// gmtime shares one result among all callers).
#pragma once

#include <ctime>

// False when the system cannot represent seconds as a date.
bool UtcCalendarTime(std::time_t seconds, std::tm& parts);
