// Conversions between the file systems' time stamps and calendar time.
#include "platform/file_time.h"

#include <cstdint>
#include <ctime>

#include <cstdio>

#include "platform/text.h"

namespace tessary {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian), and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

CalendarTime calendarFromUnixSeconds(std::int64_t seconds, int millisecond) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    days -= 1;
  }
  std::int64_t y = 0;
  unsigned m = 0;
  unsigned d = 0;
  civilFromDays(days, y, m, d);
  CalendarTime out;
  out.year = static_cast<int>(y);
  out.month = static_cast<int>(m);
  out.day = static_cast<int>(d);
  out.hour = static_cast<int>(rest / 3600);
  out.minute = static_cast<int>(rest / 60 % 60);
  out.second = static_cast<int>(rest % 60);
  out.millisecond = millisecond;
  out.dayOfWeek = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  return out;
}

}  // namespace

FileTime fileTimeFromUnix(std::int64_t seconds, std::uint32_t nanoseconds) {
  const std::int64_t since1601 = seconds + kFileTimeUnixEpochSeconds;
  if (since1601 < 0) return 0;
  return static_cast<FileTime>(since1601) * kFileTimeTicksPerSecond + nanoseconds / 100;
}

FileTime fileTimeFromHfs(std::uint32_t seconds) {
  return fileTimeFromUnix(static_cast<std::int64_t>(seconds) - kHfsUnixEpochSeconds);
}

std::optional<FileTime> fileTimeFromDos(std::uint16_t date, std::uint16_t time, std::uint8_t tenMs) {
  const unsigned day = date & 0x1F;
  const unsigned month = (date >> 5) & 0x0F;
  const unsigned year = 1980 + (date >> 9);
  const unsigned second = (time & 0x1F) * 2;
  const unsigned minute = (time >> 5) & 0x3F;
  const unsigned hour = time >> 11;
  if (day < 1 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const std::int64_t days = daysFromCivil(year, month, day);
  std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
  std::uint32_t extraNs = 0;
  if (tenMs >= 100) {
    seconds += tenMs / 100;
    extraNs = static_cast<std::uint32_t>(tenMs % 100) * 10000000U;
  } else {
    extraNs = static_cast<std::uint32_t>(tenMs) * 10000000U;
  }
  return fileTimeFromUnix(seconds, extraNs);
}

std::int64_t unixNanosecondsFromFileTime(FileTime ft) {
  const std::int64_t seconds = static_cast<std::int64_t>(ft / kFileTimeTicksPerSecond) - kFileTimeUnixEpochSeconds;
  const auto ticks = static_cast<std::int64_t>(ft % kFileTimeTicksPerSecond);
  // Beyond what nanoseconds since 1970 can hold (about the years 1678 to 2262) the value saturates.
  constexpr std::int64_t kLimit = INT64_MAX / 1000000000LL - 1;
  if (seconds > kLimit) return INT64_MAX;
  if (seconds < -kLimit) return INT64_MIN;
  return seconds * 1000000000LL + ticks * 100;
}

std::int64_t unixSecondsFromFileTime(FileTime ft) {
  return static_cast<std::int64_t>(ft / kFileTimeTicksPerSecond) - kFileTimeUnixEpochSeconds;
}

std::optional<std::string> isoUtcText(FileTime ft) {
  const std::optional<CalendarTime> utc = calendarFromFileTime(ft);
  if (!utc || utc->year < 0 || utc->year > 9999) return std::nullopt;
  return format("%04d-%02d-%02dT%02d:%02d:%02dZ", utc->year, utc->month, utc->day, utc->hour, utc->minute,
                utc->second);
}

std::optional<CalendarTime> calendarFromFileTime(FileTime ft) {
  // FileTimeToSystemTime refuses values with the top bit set.
  if (ft >= 0x8000000000000000ULL) return std::nullopt;
  const auto seconds = static_cast<std::int64_t>(ft / kFileTimeTicksPerSecond) - kFileTimeUnixEpochSeconds;
  const int millisecond = static_cast<int>(ft % kFileTimeTicksPerSecond / 10000);
  return calendarFromUnixSeconds(seconds, millisecond);
}

std::optional<CalendarTime> localFromUtc(const CalendarTime& utc) {
  const std::int64_t seconds = daysFromCivil(utc.year, static_cast<unsigned>(utc.month), static_cast<unsigned>(utc.day)) * 86400 +
                               utc.hour * 3600 + utc.minute * 60 + utc.second;
  if (seconds < static_cast<std::int64_t>(INT32_MIN) * 1024 || seconds > static_cast<std::int64_t>(INT32_MAX) * 1024)
    return std::nullopt;
  const auto t = static_cast<std::time_t>(seconds);
  std::tm local{};
#ifdef _WIN32
  if (::localtime_s(&local, &t) != 0) return std::nullopt;
#else
  if (::localtime_r(&t, &local) == nullptr) return std::nullopt;
#endif
  CalendarTime out;
  out.year = local.tm_year + 1900;
  out.month = local.tm_mon + 1;
  out.day = local.tm_mday;
  out.hour = local.tm_hour;
  out.minute = local.tm_min;
  out.second = local.tm_sec;
  out.millisecond = utc.millisecond;
  out.dayOfWeek = local.tm_wday;
  return out;
}

std::string formatListTime(const CalendarTime& local) {
  const bool am = local.hour <= 12;
  const int hour = am ? local.hour : local.hour - 12;
  // "%02d/%02d/%d  %02d:%02d AM" written digit by digit for the values a calendar holds; anything else
  // goes through the formatter.
  const bool plain = local.month >= 0 && local.month < 100 && local.day >= 0 && local.day < 100 && local.year >= 1000 &&
                     local.year <= 9999 && hour >= 0 && hour < 100 && local.minute >= 0 && local.minute < 100;
  if (!plain) {
    char text[256];
    std::snprintf(text, sizeof text, am ? "%02d/%02d/%d  %02d:%02d AM" : "%02d/%02d/%d  %02d:%02d PM", local.month,
                  local.day, local.year, hour, local.minute);
    return text;
  }
  char text[20] = {'0', '0', '/', '0', '0', '/', '0', '0', '0', '0', ' ', ' ', '0', '0', ':', '0', '0', ' ', 'A', 'M'};
  auto two = [&](std::size_t at, int value) {
    text[at] = static_cast<char>('0' + value / 10);
    text[at + 1] = static_cast<char>('0' + value % 10);
  };
  two(0, local.month);
  two(3, local.day);
  two(6, local.year / 100);
  two(8, local.year % 100);
  two(12, hour);
  two(15, local.minute);
  if (!am) text[18] = 'P';
  return std::string(text, sizeof text);
}

std::string formatListFileTime(FileTime ft) {
  const auto utc = calendarFromFileTime(ft);
  if (!utc) return {};
  const auto local = localFromUtc(*utc);
  if (!local) return {};
  return formatListTime(*local);
}

}  // namespace tessary
