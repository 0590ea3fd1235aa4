// Test helper shared by the unit and end-to-end tests: the Date line of a
// response header, checked for its exact form.
#ifndef TARVELD_TESTS_HTTP_DATE_H
#define TARVELD_TESTS_HTTP_DATE_H

#include <cstring>
#include <ctime>
#include <string>

namespace httpdate {

// "Sun, 06 Dec 2026 01:05:09 GMT": English names, fixed widths, UTC.
// Returns the time it names, or -1 when the text has another form.
inline time_t Parse(const std::string &text) {
  static const char Days[] = "SunMonTueWedThuFriSat";
  static const char Months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const char *form = "www, 00 mmm 0000 00:00:00 GMT";
  if (text.size() != strlen(form)) return -1;
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if ((form[i] == '0') != digit) return -1;
    if (strchr(", :GMT", form[i]) && form[i] != text[i]) return -1;
  }
  struct tm parts {};
  const char *day = strstr(Days, text.substr(0, 3).c_str());
  const char *month = strstr(Months, text.substr(8, 3).c_str());
  if (!day || (day - Days) % 3 || !month || (month - Months) % 3) return -1;
  parts.tm_mday = std::stoi(text.substr(5, 2));
  parts.tm_mon = static_cast<int>((month - Months) / 3);
  parts.tm_year = std::stoi(text.substr(12, 4)) - 1900;
  parts.tm_hour = std::stoi(text.substr(17, 2));
  parts.tm_min = std::stoi(text.substr(20, 2));
  parts.tm_sec = std::stoi(text.substr(23, 2));
  time_t stamp = timegm(&parts);
  struct tm check;
  gmtime_r(&stamp, &check);
  if (check.tm_wday != (day - Days) / 3 || check.tm_mday != parts.tm_mday) return -1;
  return stamp;
}

// The header up to its empty line, with a well-formed Date value replaced by
// DATE; a malformed one stays and spoils any comparison.
inline std::string WithoutDate(const std::string &raw) {
  size_t end = raw.find("\r\n\r\n");
  std::string header = raw.substr(0, end == std::string::npos ? raw.size() : end + 4);
  size_t at = header.find("\r\nDate: ");
  if (at == std::string::npos) return header;
  size_t start = at + 8;
  size_t stop = header.find("\r\n", start);
  if (stop == std::string::npos || Parse(header.substr(start, stop - start)) < 0) return header;
  return header.replace(start, stop - start, "DATE");
}

}  // namespace httpdate

#endif
