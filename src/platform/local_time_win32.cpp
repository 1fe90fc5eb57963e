#include <windows.h>

#include "platform/local_time.h"

namespace kelp {

LocalTime local_time_now() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                   now.wMinute, now.wSecond, now.wMilliseconds};
}

}  // namespace kelp
