// The host formats the system uses where a Windows host would take them from
// its locale settings. There is no host locale here, so the formats are
// fixed: short date MM/DD/YYYY, long time h:mm:ss AM/PM, decimal separator
// ".". Re-entrant.
#ifndef CORVANE_PLATFORM_LOCALE_H_
#define CORVANE_PLATFORM_LOCALE_H_

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

inline constexpr char kDecimalSeparator = '.';

// The date part in the short date format, for example 03/07/2026.
std::string FormatShortDate(double date_time);

// The time part in the long time format, for example 3:07:09 PM.
std::string FormatLongTime(double date_time);

// Reads a date in the short date format (MM/DD/YYYY; one- or two-digit
// month and day). Returns nothing when the text is not such a date.
std::optional<double> ParseShortDate(std::string_view text);

// Reads the whole text as a decimal real in the host's number format:
// optional sign, digits with an optional decimal separator, an optional
// exponent (E or e, optional sign, digits). At least one mantissa digit is
// needed; the text is not trimmed. Returns nothing otherwise.
std::optional<long double> ParseHostReal(std::string_view text);

}  // namespace corvane

#endif  // CORVANE_PLATFORM_LOCALE_H_
