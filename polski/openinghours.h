// Opening hours of POIs and polygons: the "OpeningHours" value ("Mo-Fr
// 08:00-18:00; Dec 24 off", "24/7", "sunset-(sunrise+01:00)") parsed into
// rules that the map writer encodes into the object records.
#pragma once

#include <cstdint>

#include "core/containers.h"

namespace PolskiFormat {

// A date item. Months 1-12; a day of 0 means the whole month. "SH" and "PH"
// items have all four date bytes 0 and their own flag set.
struct TOpeningDate {
  uint8_t StartDay;
  uint8_t StartMonth;
  uint8_t EndDay;
  uint8_t EndMonth;
  uint8_t SchoolHoliday;
  uint8_t PublicHoliday;
};

// Weekdays: 0 = Sunday, 1 = Monday, ... 6 = Saturday.
struct TWeekdayRange {
  uint8_t First;
  uint8_t Last;
};

// The n-th weekday of the month: n 0-4 for the first to the fifth, 0xFF for
// the last.
struct TNthWeekday {
  uint8_t Weekday;
  uint8_t N;
};

enum TTimeKind : int32_t {
  TimeOpenEnd = 0,        // end point of a span written with "+"
  TimeClock = 1,          // minutes since midnight (24:00 = 1440)
  TimeSunrise = 2,        // minutes 0
  TimeSunset = 3,         // minutes 0
  TimeSunriseOffset = 4,  // sunrise plus signed minutes
  TimeSunsetOffset = 5,   // sunset plus signed minutes
};

struct TTimePoint {
  int16_t Minutes;
  int32_t Kind;  // TTimeKind
};

struct TTimeSpan {
  TTimePoint Start;
  TTimePoint End;
};

// One rule. Empty Dates = every date; empty Weekdays and NthWeekdays = every
// weekday; empty TimeSpans = closed ("off", or no time given).
struct TOpeningRule {
  CReallocArray<TOpeningDate> Dates;
  CReallocArray<TWeekdayRange> Weekdays;
  CReallocArray<TNthWeekday> NthWeekdays;
  CReallocArray<TTimeSpan> TimeSpans;
};

// Appends the rules of a value to the list; any syntax error empties the
// whole list (rules of earlier values included).
void ParseOpeningHours(const char* value, CReallocArray<TOpeningRule>& rules);
// Replaces `target` with a deep copy of `source`.
void CopyOpeningRules(const CReallocArray<TOpeningRule>& source, CReallocArray<TOpeningRule>& target);

}  // namespace PolskiFormat
