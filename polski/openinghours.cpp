#include "polski/openinghours.h"

#include <cstring>

#include "polski/sections.h"

namespace PolskiFormat {

namespace {

enum TTokenKind : uint8_t {
  TokNumber,
  TokMonth,    // value 1-12
  TokWeekday,  // value 0-6
  TokSunrise,
  TokSunset,
  TokOff,
  TokSchoolHoliday,
  TokPublicHoliday,
  TokPunct,  // value = the character
  TokClock,  // value = minutes
  TokEnd,
};

struct TToken {
  TTokenKind kind;
  int32_t value;
};

bool IsDelimiter(char c) { return c != 0 && std::strchr(" +-:,()[];", c) != nullptr; }

// Reads a word's token; false for a word the syntax does not know.
bool ClassifyWord(std::string_view word, TToken* token) {
  static constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static constexpr std::string_view kWeekdays[] = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa"};
  if (IsDigit(word[0])) {
    uint32_t v;
    if (!ParseDigits(word, &v)) return false;
    *token = {TokNumber, v > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(v)};
    return true;
  }
  for (int i = 0; i < 12; i++) {
    if (TextEquals(word, kMonths[i])) return *token = {TokMonth, i + 1}, true;
  }
  for (int i = 0; i < 7; i++) {
    if (TextEquals(word, kWeekdays[i])) return *token = {TokWeekday, i}, true;
  }
  static constexpr struct {
    std::string_view word;
    TTokenKind kind;
  } kWords[] = {{"sunrise", TokSunrise}, {"sunset", TokSunset}, {"off", TokOff},
                {"SH", TokSchoolHoliday}, {"PH", TokPublicHoliday}};
  for (const auto& w : kWords) {
    if (TextEquals(word, w.word)) return *token = {w.kind, 0}, true;
  }
  // Any other word, two-letter ones included, fails the rule.
  return false;
}

// Splits one rule (up to ";" or the end of the text) into tokens ending in
// TokEnd; `atEnd` tells whether the text ended. False on an unknown word.
bool TokenizeOpeningRule(const char*& p, CReallocArray<TToken>& tokens, bool* atEnd) {
  tokens.Clear();
  for (;;) {
    while (*p == ' ') p++;
    if (*p == 0 || *p == ';') {
      *atEnd = *p == 0;
      if (*p) p++;
      tokens.PushBack({TokEnd, 0});
      break;
    }
    const char* start = p;
    while (*p && !IsDelimiter(*p)) p++;
    if (p == start) {
      tokens.PushBack({TokPunct, *p++});
      continue;
    }
    TToken token;
    if (!ClassifyWord(std::string_view(start, static_cast<size_t>(p - start)), &token)) return false;
    tokens.PushBack(token);
  }
  // hh ":" mm becomes one clock time.
  size_t out = 0;
  for (size_t i = 0; i < tokens.Size(); i++) {
    const TToken& t = tokens[i];
    if (t.kind == TokNumber && t.value < 25 && i + 2 < tokens.Size() && tokens[i + 1].kind == TokPunct &&
        tokens[i + 1].value == ':' && tokens[i + 2].kind == TokNumber && tokens[i + 2].value < 60) {
      tokens[out++] = {TokClock, t.value * 60 + tokens[i + 2].value};
      i += 2;
    } else {
      tokens[out++] = t;
    }
  }
  tokens.Resize(out);
  return true;
}

// Recursive descent over the tokens of one rule.
class CRuleParser {
 public:
  CRuleParser(const CReallocArray<TToken>& tokens, TOpeningRule& rule) : tokens(tokens), rule(rule) {}

  bool Parse() {
    bool ok = true;
    TListResult dates = ParseList(&CRuleParser::DateItem);
    if (!fatal && dates != ListFailed) {
      TListResult weekdays = ParseList(&CRuleParser::WeekdayItem);
      if (!fatal && weekdays != ListFailed) {
        if (Is(TokOff)) {
          pos++;
        } else {
          ok = ParseList(&CRuleParser::TimeSpanItem) != ListFailed;
        }
      }
    }
    return ok && !fatal && Is(TokEnd);
  }

 private:
  enum TListResult { ListAbsent, ListOk, ListFailed };
  using TItem = bool (CRuleParser::*)();

  const TToken& At(size_t i) const {
    static const TToken kEnd = {TokEnd, 0};
    return i < tokens.Size() ? tokens[i] : kEnd;
  }
  bool Is(TTokenKind kind, size_t ahead = 0) const { return At(pos + ahead).kind == kind; }
  bool IsPunct(char c, size_t ahead = 0) const {
    return At(pos + ahead).kind == TokPunct && At(pos + ahead).value == c;
  }
  int32_t Value(size_t ahead = 0) const { return At(pos + ahead).value; }

  // Items separated by ","; an item that does not match leaves no trace.
  TListResult ParseList(TItem item) {
    size_t start = pos;
    if (!Attempt(item)) {
      pos = start;
      return ListAbsent;
    }
    while (!fatal && IsPunct(',')) {
      pos++;
      size_t itemStart = pos;
      if (!Attempt(item)) {
        pos = itemStart;
        return ListFailed;
      }
    }
    return ListOk;
  }

  bool Attempt(TItem item) {
    size_t start = pos;
    size_t sizes[4] = {rule.Dates.Size(), rule.Weekdays.Size(), rule.NthWeekdays.Size(), rule.TimeSpans.Size()};
    if ((this->*item)()) return true;
    pos = start;
    rule.Dates.Resize(sizes[0]);
    rule.Weekdays.Resize(sizes[1]);
    rule.NthWeekdays.Resize(sizes[2]);
    rule.TimeSpans.Resize(sizes[3]);
    return false;
  }

  // Days are not checked against their month; only a day that a byte
  // cannot hold fails the rule.
  bool Day(size_t ahead, uint8_t* day) {
    if (!Is(TokNumber, ahead)) return false;
    if (Value(ahead) > 255) {
      fatal = true;
      return false;
    }
    *day = static_cast<uint8_t>(Value(ahead));
    return true;
  }

  bool DateItem() {
    if (Is(TokSchoolHoliday) || Is(TokPublicHoliday)) {
      rule.Dates.PushBack({0, 0, 0, 0, static_cast<uint8_t>(Is(TokSchoolHoliday)),
                           static_cast<uint8_t>(Is(TokPublicHoliday))});
      pos++;
      return true;
    }
    if (!Is(TokMonth)) return false;
    uint8_t m1 = static_cast<uint8_t>(Value()), d1, d2;
    // Longest alternative first.
    if (Day(1, &d1) && IsPunct('-', 2) && Is(TokMonth, 3) && Day(4, &d2)) {
      rule.Dates.PushBack({d1, m1, d2, static_cast<uint8_t>(Value(3)), 0, 0});
      pos += 5;
      return true;
    }
    if (IsPunct('-', 1) && Is(TokMonth, 2)) {
      rule.Dates.PushBack({0, m1, 0, static_cast<uint8_t>(Value(2)), 0, 0});
      pos += 3;
      return true;
    }
    if (Is(TokNumber, 1)) {
      pos++;
      return DayList(m1);
    }
    if (fatal) return false;
    rule.Dates.PushBack({0, m1, 0, m1, 0, 0});
    pos++;
    return true;
  }

  // Days and day ranges of one month. A "," not followed by a day ends the
  // list before the comma, so that the date list can go on ("Jan 1,Dec 25").
  bool DayList(uint8_t month) {
    for (;;) {
      uint8_t from, to;
      if (!Day(0, &from)) return false;
      pos++;
      to = from;
      if (IsPunct('-') && Is(TokNumber, 1)) {
        if (!Day(1, &to)) return false;
        pos += 2;
      }
      rule.Dates.PushBack({from, month, to, month, 0, 0});
      if (!IsPunct(',') || !Is(TokNumber, 1)) return true;
      pos++;
    }
  }

  bool WeekdayItem() {
    if (!Is(TokWeekday)) return false;
    uint8_t w = static_cast<uint8_t>(Value());
    if (IsPunct('-', 1) && Is(TokWeekday, 2)) {
      rule.Weekdays.PushBack({w, static_cast<uint8_t>(Value(2))});
      pos += 3;
      return true;
    }
    if (IsPunct('[', 1)) {
      pos += 2;
      if (!NthList(w) || !IsPunct(']')) {
        fatal = true;
        return false;
      }
      pos++;
      return true;
    }
    rule.Weekdays.PushBack({w, w});
    pos++;
    return true;
  }

  bool SignedNumber(int64_t* v) {
    bool negative = IsPunct('-');
    if (!Is(TokNumber, negative ? 1 : 0)) return false;
    *v = negative ? -static_cast<int64_t>(Value(1)) : Value();
    pos += negative ? 2 : 1;
    return true;
  }

  // Numbers and ranges inside "[...]": -1 is the last such weekday, 1-5 the
  // first to the fifth.
  bool NthList(uint8_t weekday) {
    for (;;) {
      int64_t from, to;
      if (!SignedNumber(&from)) return false;
      to = from;
      if (IsPunct('-') && (Is(TokNumber, 1) || IsPunct('-', 1))) {
        pos++;
        if (!SignedNumber(&to)) return false;
      }
      for (int64_t n = from; n <= to; n++) {
        if (n != -1 && (n < 1 || n > 5)) return false;
        rule.NthWeekdays.PushBack({weekday, static_cast<uint8_t>(n == -1 ? 0xFF : n - 1)});
      }
      if (!IsPunct(',')) return true;
      pos++;
    }
  }

  bool TimePoint(TTimePoint* point) {
    if (Is(TokClock)) {
      *point = {static_cast<int16_t>(Value()), TimeClock};
      pos++;
      return true;
    }
    if (Is(TokSunrise) || Is(TokSunset)) {
      *point = {0, Is(TokSunrise) ? TimeSunrise : TimeSunset};
      pos++;
      return true;
    }
    if (IsPunct('(') && (Is(TokSunrise, 1) || Is(TokSunset, 1)) && (IsPunct('+', 2) || IsPunct('-', 2)) &&
        Is(TokClock, 3) && IsPunct(')', 4)) {
      int16_t minutes = static_cast<int16_t>(Value(3));
      *point = {IsPunct('-', 2) ? static_cast<int16_t>(-minutes) : minutes,
                Is(TokSunrise, 1) ? TimeSunriseOffset : TimeSunsetOffset};
      pos += 5;
      return true;
    }
    return false;
  }

  bool TimeSpanItem() {
    TTimeSpan span;
    if (!TimePoint(&span.Start)) return false;
    if (IsPunct('+')) {
      span.End = {0, TimeOpenEnd};
      pos++;
    } else if (IsPunct('-')) {
      pos++;
      if (!TimePoint(&span.End)) return false;
    } else {
      return false;
    }
    rule.TimeSpans.PushBack(span);
    return true;
  }

  const CReallocArray<TToken>& tokens;
  TOpeningRule& rule;
  size_t pos = 0;
  bool fatal = false;  // an error no backtracking can mend
};

}  // namespace

void ParseOpeningHours(const char* value, CReallocArray<TOpeningRule>& rules) {
  const char* p = value;
  while (*p == ' ') p++;
  if (std::strncmp(p, "24/7", 4) == 0) {
    rules.EmplaceBack()->TimeSpans.PushBack({{0, TimeClock}, {1440, TimeClock}});
    return;
  }
  CReallocArray<TToken> tokens;
  bool atEnd = *p == 0;
  while (!atEnd) {
    if (!TokenizeOpeningRule(p, tokens, &atEnd)) {
      rules.Clear();
      return;
    }
    if (tokens.Size() == 1) continue;  // no tokens: ";;" or a trailing "; "
    if (!CRuleParser(tokens, *rules.EmplaceBack()).Parse()) {
      rules.Clear();
      return;
    }
  }
}

void CopyOpeningRules(const CReallocArray<TOpeningRule>& source, CReallocArray<TOpeningRule>& target) {
  target.Clear();
  target.Reserve(source.Size());
  for (const TOpeningRule& rule : source) {
    TOpeningRule* copy = target.EmplaceBack();
    copy->Dates.Assign(rule.Dates.data, rule.Dates.Size());
    copy->Weekdays.Assign(rule.Weekdays.data, rule.Weekdays.Size());
    copy->NthWeekdays.Assign(rule.NthWeekdays.data, rule.NthWeekdays.Size());
    copy->TimeSpans.Assign(rule.TimeSpans.data, rule.TimeSpans.Size());
  }
}

}  // namespace PolskiFormat
