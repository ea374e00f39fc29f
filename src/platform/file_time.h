// Time stamps of the file systems (FILETIME, DOS, Unix, HFS+) and their calendar forms in UTC and local time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessary {

// 100-nanosecond intervals since 1601-01-01 UTC, as NTFS stores them.
using FileTime = std::uint64_t;

struct CalendarTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int dayOfWeek = 0;  // 0 = Sunday
};

constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000ULL;
// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kFileTimeUnixEpochSeconds = 11644473600LL;
// Seconds between 1904-01-01 and 1970-01-01.
constexpr std::int64_t kHfsUnixEpochSeconds = 2082844800LL;

FileTime fileTimeFromUnix(std::int64_t seconds, std::uint32_t nanoseconds = 0);
// HFS+ keeps seconds since 1904-01-01 UTC.
FileTime fileTimeFromHfs(std::uint32_t seconds);
// A DOS date and time as the FAT family stores them, taken as given (no zone shift), like
// DosDateTimeToFileTime. Nothing for a date or time that names no calendar moment.
std::optional<FileTime> fileTimeFromDos(std::uint16_t date, std::uint16_t time, std::uint8_t tenMs = 0);
// Nanoseconds since 1970 for setting host file times.
std::int64_t unixNanosecondsFromFileTime(FileTime ft);

// Whole seconds since 1970 (UTC), rounded down.
std::int64_t unixSecondsFromFileTime(FileTime ft);
// The time as ISO 8601 in UTC to the second ("2024-05-06T07:08:09Z"); nothing when it names no calendar
// moment.
std::optional<std::string> isoUtcText(FileTime ft);

// FileTimeToSystemTime: nothing when the value lies beyond what a calendar time can hold.
std::optional<CalendarTime> calendarFromFileTime(FileTime ft);
// SystemTimeToTzSpecificLocalTime with the host's zone (TZ).
std::optional<CalendarTime> localFromUtc(const CalendarTime& utc);

// The detail list's date text: "%02d/%02d/%d  %02d:%02d AM" while the hour is 12 or less,
// "... PM" with the hour minus 12 above that.
std::string formatListTime(const CalendarTime& local);
// A FILETIME as the detail list shows it (converted to local time), empty when it cannot be converted.
std::string formatListFileTime(FileTime ft);

}  // namespace tessary
