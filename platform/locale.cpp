#include "platform/locale.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/clock.h"

namespace corvane {

std::string FormatShortDate(double date_time) {
  const CivilTime t = CivilFromDateTime(date_time);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", t.month, t.day, t.year);
  return buf;
}

std::string FormatLongTime(double date_time) {
  const CivilTime t = CivilFromDateTime(date_time);
  const int hour12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d:%02d:%02d %s", hour12, t.minute, t.second,
                t.hour < 12 ? "AM" : "PM");
  return buf;
}

std::optional<double> ParseShortDate(std::string_view text) {
  int fields[3] = {0, 0, 0};
  int field = 0, digits = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      if (++digits > 4) return std::nullopt;
      fields[field] = fields[field] * 10 + (c - '0');
    } else if (c == '/' && field < 2 && digits > 0) {
      ++field;
      digits = 0;
    } else {
      return std::nullopt;
    }
  }
  if (field != 2 || digits == 0) return std::nullopt;
  const int month = fields[0], day = fields[1], year = fields[2];
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  return DateTimeFromCivil(year, month, day);
}

std::optional<long double> ParseHostReal(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t mantissa_digits = 0;
  while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++mantissa_digits;
  if (i < n && text[i] == kDecimalSeparator) {
    ++i;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return std::nullopt;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != n) return std::nullopt;
  // strtold follows the C locale, whose separator is ".", like ours.
  const std::string copy(text);
  const long double value = std::strtold(copy.c_str(), nullptr);
  if (value == HUGE_VALL || value == -HUGE_VALL) return std::nullopt;
  return value;
}

}  // namespace corvane
