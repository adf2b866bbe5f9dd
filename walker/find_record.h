// One directory entry as the Windows walker reports it (a WalkEntry's
// `native`), and the conversion of a local calendar time to the record's
// 32-bit seconds. Platform-neutral.
#pragma once
#include <cstdint>

constexpr uint32_t kFindNameCapacity = 260;

struct FindRecord {
  uint32_t attributes;  // FILE_ATTRIBUTE_NORMAL alone is reported as 0
  int32_t creationTime;  // seconds since 1970-01-01 00:00 UTC, -1 when unknown
  int32_t lastAccessTime;
  int32_t lastWriteTime;
  uint32_t size;  // low 32 bits
  uint32_t sizeHigh;  // high 32 bits: a file of 4 GiB or more is not its low bits' size
  char name[kFindNameCapacity];
};

// A calendar time as the platform breaks it down (month 1..12).
struct CalendarTime {
  int32_t year;
  int32_t month;
  int32_t day;
  int32_t hour;
  int32_t minute;
  int32_t second;
};

// Seconds since 1970-01-01 00:00 UTC of `local`, a local calendar time whose
// UTC is local + utcBiasSeconds. -1 when a field is out of its range, the
// local year lies outside 1970..2038, or the count does not fit 0..INT32_MAX.
int32_t LocalCalendarToSeconds(const CalendarTime& local, int64_t utcBiasSeconds);
