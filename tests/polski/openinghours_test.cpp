// Opening hours: the rule syntax, written out rule by rule.
#include <gtest/gtest.h>

#include <string>

#include "polski/openinghours.h"

using namespace PolskiFormat;

namespace {

// A compact text form of parsed rules, to compare whole results at once:
// "D(d.m-d.m sh ph) W(f-l) N(w#n) T(min/kind-min/kind)" per rule, "|" between.
std::string Describe(const CReallocArray<TOpeningRule>& rules) {
  std::string out;
  for (size_t r = 0; r < rules.Size(); r++) {
    const TOpeningRule& rule = rules[r];
    if (r) out += " | ";
    std::string parts;
    auto add = [&parts](const std::string& s) { parts += (parts.empty() ? "" : " ") + s; };
    for (const TOpeningDate& d : rule.Dates) {
      add("D" + std::to_string(d.StartDay) + "." + std::to_string(d.StartMonth) + "-" + std::to_string(d.EndDay) +
          "." + std::to_string(d.EndMonth) + (d.SchoolHoliday ? "SH" : "") + (d.PublicHoliday ? "PH" : ""));
    }
    for (const TWeekdayRange& w : rule.Weekdays) add("W" + std::to_string(w.First) + "-" + std::to_string(w.Last));
    for (const TNthWeekday& n : rule.NthWeekdays) add("N" + std::to_string(n.Weekday) + "#" + std::to_string(n.N));
    for (const TTimeSpan& t : rule.TimeSpans) {
      add("T" + std::to_string(t.Start.Minutes) + "/" + std::to_string(t.Start.Kind) + "-" +
          std::to_string(t.End.Minutes) + "/" + std::to_string(t.End.Kind));
    }
    out += parts.empty() ? "(empty)" : parts;
  }
  return out;
}

std::string Parse(const char* value) {
  CReallocArray<TOpeningRule> rules;
  ParseOpeningHours(value, rules);
  return Describe(rules);
}

TEST(OpeningHours, AcceptedForms) {
  const std::pair<const char*, const char*> cases[] = {
      {"24/7", "T0/1-1440/1"},
      {"  24/7 and anything", "T0/1-1440/1"},
      {"Mo-Fr 08:00-18:00; Sa 09:00-13:00", "W1-5 T480/1-1080/1 | W6-6 T540/1-780/1"},
      {"mo-fr 8:00-18:00", "W1-5 T480/1-1080/1"},
      {"Dec 24 off", "D24.12-24.12"},
      {"Jan-Mar", "D0.1-0.3"},
      {"Jan", "D0.1-0.1"},
      {"Jan 1-Feb 2 10:00-12:00", "D1.1-2.2 T600/1-720/1"},  // the longest date form first
      {"Jan 1-5", "D1.1-5.1"},
      {"Feb 31,32 off", "D31.2-31.2 D32.2-32.2"},  // days are not checked against their month
      {"Jan 255", "D255.1-255.1"},
      {"Mar 9-2", "D9.3-2.3"},  // nor ranges for running forwards
      {"Jan 1,3-5", "D1.1-1.1 D3.1-5.1"},
      {"Jan 1,Dec 25 off", "D1.1-1.1 D25.12-25.12"},  // the day list stops before the comma
      {"Jan,Feb Mo", "D0.1-0.1 D0.2-0.2 W1-1"},
      {"Jan,", "D0.1-0.1"},  // a trailing comma of a date list is accepted
      {"SH off", "D0.0-0.0SH"},
      {"PH 10:00-12:00", "D0.0-0.0PH T600/1-720/1"},
      {"Su[-1] 10:00-12:00", "N0#255 T600/1-720/1"},
      {"Su[1,3]", "N0#0 N0#2"},
      {"Su[1-2]", "N0#0 N0#1"},
      {"Mo,We,Fr 10:00-12:00", "W1-1 W3-3 W5-5 T600/1-720/1"},
      {"Mo-Fr", "W1-5"},  // no time: closed, like "Mo-Fr off"
      {"Mo-Fr off", "W1-5"},
      {"18:00+", "T1080/1-0/0"},
      {"sunset-(sunrise+01:00)", "T0/3-60/4"},
      {"(sunrise-00:30)-sunset", "T-30/4-0/3"},
      {"sunrise-(sunset+00:15)", "T0/2-15/5"},
      {"10:00-12:00,14:00-24:00", "T600/1-720/1 T840/1-1440/1"},
      {"Fr-Mo 10:00-12:00", "W5-1 T600/1-720/1"},
      {"Mo 10:00-12:00;;Tu 10:00-11:00", "W1-1 T600/1-720/1 | W2-2 T600/1-660/1"},
      {"Mo 10:00-12:00; ", "W1-1 T600/1-720/1"},  // no always-closed rule from the trailing ";"
      {";;", ""},
      {"", ""},
      {"   ", ""},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(Parse(value), expected) << value;
}

TEST(OpeningHours, RefusedForms) {
  for (const char* value : {
           "x 24/7",
           "Su[6]",
           "Su[0]",
           "Su[1",
           "25:00",
           "10:60-11:00",
           "10:00",
           "10:00-",
           "Mo-Fr 10:00-12:00,",  // a trailing comma of a time list is not
           "Mo 10:00-12:00; foo",
           "Xx 10:00-12:00",  // unknown two-letter word
           "Mo, 10:00-12:00",
           "Jan, Mo",
           "99999999999:00-10:00",  // no overflow
           "08h-10h",
           "Jan 256",  // a day must fit in a byte
           "Jan 1-300",
           "Mo-Fr 10:00-12:00 extra",
       }) {
    EXPECT_EQ(Parse(value), "") << value;
  }
}

TEST(OpeningHours, ErrorEmptiesEarlierRules) {
  CReallocArray<TOpeningRule> rules;
  ParseOpeningHours("Mo 10:00-12:00", rules);
  ParseOpeningHours("Tu 10:00-12:00", rules);
  EXPECT_EQ(rules.Size(), 2u);
  ParseOpeningHours("Tu 25:00-26:00", rules);
  EXPECT_EQ(rules.Size(), 0u);
  ParseOpeningHours("24/7", rules);
  ParseOpeningHours("24/7", rules);
  EXPECT_EQ(rules.Size(), 2u);
}

TEST(OpeningHours, DeepCopy) {
  CReallocArray<TOpeningRule> source, target;
  ParseOpeningHours("Jan 1,Dec 25 off; Su[-1],Mo 10:00-12:00", source);
  ParseOpeningHours("24/7", target);
  CopyOpeningRules(source, target);
  EXPECT_EQ(Describe(target), Describe(source));
  source.Free();
  EXPECT_EQ(Describe(target), "D1.1-1.1 D25.12-25.12 | W1-1 N0#255 T600/1-720/1");
}

}  // namespace
