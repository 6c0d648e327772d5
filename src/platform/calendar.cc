#include "platform/calendar.h"

#include <clocale>
#include <ctime>

namespace km {

namespace {

constexpr size_t kLongestDateText = 31;

} // namespace

int64_t currentUnixTime() {
  return static_cast<int64_t>(std::time(nullptr));
}

void useUserDateLanguage() {
  std::setlocale(LC_TIME, "");
}

std::string localDateText(int64_t unixTime) {
  std::time_t when = static_cast<std::time_t>(unixTime);
  std::tm local{};
  char text[kLongestDateText + 1] = {};
  if (::localtime_r(&when, &local) == nullptr ||
      std::strftime(text, sizeof text, "%a %-d %b %Y", &local) == 0) {
    return "unknown";
  }
  return text;
}

int64_t localNoonDaysBefore(int64_t unixTime, int days) {
  std::time_t when = static_cast<std::time_t>(unixTime);
  std::tm local{};
  if (::localtime_r(&when, &local) == nullptr) {
    return unixTime - int64_t{days} * 86400;
  }
  local.tm_mday -= days;
  local.tm_hour = 12;
  local.tm_min = 0;
  local.tm_sec = 0;
  local.tm_isdst = -1;
  std::time_t noon = std::mktime(&local);
  return noon == static_cast<std::time_t>(-1) ? unixTime - int64_t{days} * 86400
                                              : static_cast<int64_t>(noon);
}

} // namespace km
