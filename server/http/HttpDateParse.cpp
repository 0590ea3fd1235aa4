// The dates of HTTP/1.0 (RFC 1945, 3.3) as a client sends them in an
// If-Modified-Since line:
//   Sun, 06 Nov 1994 08:49:37 GMT    RFC 1123, the one servers send
//   Sunday, 06-Nov-94 08:49:37 GMT   RFC 850; a two-digit year below 70 is
//                                    20yy, any other 19yy
//   Sun Nov  6 08:49:37 1994         asctime(), the day padded with a blank
// Names are matched regardless of case, the weekday is not checked against
// the date; anything else, a day beyond its month or a time beyond 23:59:60
// makes the text no date. A text after a ";" ("; length=1234", which old
// browsers append) is ignored.
#include <cstring>

#include "http/Http.h"

namespace {

const char *const MonthNames[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                    "jul", "aug", "sep", "oct", "nov", "dec"};
const char *const DayNames[7] = {"sunday",   "monday", "tuesday", "wednesday",
                                 "thursday", "friday", "saturday"};

struct Cursor {
  const char *at;
  const char *end;
};

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool Take(Cursor *c, char expected) {
  if (c->at >= c->end || *c->at != expected) return false;
  ++c->at;
  return true;
}

// Exactly `digits` digits (a blank may stand for a leading zero when
// padded is set, as asctime() writes the day).
bool Number(Cursor *c, int digits, int *value, bool padded = false) {
  if (c->end - c->at < digits) return false;
  int result = 0;
  for (int i = 0; i < digits; ++i) {
    char ch = c->at[i];
    if (padded && i == 0 && ch == ' ') continue;
    if (ch < '0' || ch > '9') return false;
    result = result * 10 + (ch - '0');
  }
  c->at += digits;
  *value = result;
  return true;
}

// A month's three letters: 0 to 11, or -1.
int Month(Cursor *c) {
  if (c->end - c->at < 3) return -1;
  for (int m = 0; m < 12; ++m) {
    if (Lower(c->at[0]) == MonthNames[m][0] && Lower(c->at[1]) == MonthNames[m][1] &&
        Lower(c->at[2]) == MonthNames[m][2]) {
      c->at += 3;
      return m;
    }
  }
  return -1;
}

// A weekday's name in full (long) or its first three letters.
bool Weekday(Cursor *c, bool full) {
  for (const char *name : DayNames) {
    size_t length = full ? strlen(name) : 3;
    if (static_cast<size_t>(c->end - c->at) < length) continue;
    size_t i = 0;
    while (i < length && Lower(c->at[i]) == name[i]) ++i;
    if (i == length) {
      c->at += length;
      return true;
    }
  }
  return false;
}

// "08:49:37"
bool Clock(Cursor *c, int *hour, int *minute, int *second) {
  return Number(c, 2, hour) && Take(c, ':') && Number(c, 2, minute) && Take(c, ':') &&
         Number(c, 2, second);
}

bool Gmt(Cursor *c) { return Take(c, ' ') && Take(c, 'G') && Take(c, 'M') && Take(c, 'T'); }

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
int64_t DaysSinceEpoch(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

bool LeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int64_t Seconds(int year, int month, int day, int hour, int minute, int second) {
  static const int MonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 0 || day < 1 || hour > 23 || minute > 59 || second > 60) return -1;
  int days = MonthDays[month] + (month == 1 && LeapYear(year) ? 1 : 0);
  if (day > days || year < 1970) return -1;
  return DaysSinceEpoch(year, month + 1, day) * 86400 + hour * 3600 + minute * 60 + second;
}

}  // namespace

int64_t HttpDateParse(const char *text, size_t length) {
  const char *semicolon = static_cast<const char *>(memchr(text, ';', length));
  if (semicolon) {
    length = static_cast<size_t>(semicolon - text);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) --length;
  }
  int year = 0, day = 0, hour = 0, minute = 0, second = 0, month = -1;
  Cursor c = {text, text + length};
  Cursor rfc1123 = c;
  if (Weekday(&rfc1123, false) && Take(&rfc1123, ',') && Take(&rfc1123, ' ') &&
      Number(&rfc1123, 2, &day) && Take(&rfc1123, ' ') && (month = Month(&rfc1123)) >= 0 &&
      Take(&rfc1123, ' ') && Number(&rfc1123, 4, &year) && Take(&rfc1123, ' ') &&
      Clock(&rfc1123, &hour, &minute, &second) && Gmt(&rfc1123) && rfc1123.at == rfc1123.end)
    return Seconds(year, month, day, hour, minute, second);
  Cursor rfc850 = c;
  if (Weekday(&rfc850, true) && Take(&rfc850, ',') && Take(&rfc850, ' ') &&
      Number(&rfc850, 2, &day) && Take(&rfc850, '-') && (month = Month(&rfc850)) >= 0 &&
      Take(&rfc850, '-') && Number(&rfc850, 2, &year) && Take(&rfc850, ' ') &&
      Clock(&rfc850, &hour, &minute, &second) && Gmt(&rfc850) && rfc850.at == rfc850.end)
    return Seconds(year < 70 ? 2000 + year : 1900 + year, month, day, hour, minute, second);
  Cursor asctime = c;
  if (Weekday(&asctime, false) && Take(&asctime, ' ') && (month = Month(&asctime)) >= 0 &&
      Take(&asctime, ' ') && Number(&asctime, 2, &day, true) && Take(&asctime, ' ') &&
      Clock(&asctime, &hour, &minute, &second) && Take(&asctime, ' ') &&
      Number(&asctime, 4, &year) && asctime.at == asctime.end)
    return Seconds(year, month, day, hour, minute, second);
  return -1;
}
