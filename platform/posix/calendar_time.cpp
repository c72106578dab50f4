#include "platform/calendar_time.h"

bool UtcCalendarTime(std::time_t seconds, std::tm& parts) {
  return ::gmtime_r(&seconds, &parts) != nullptr;
}
