// Local date and time as the system counts it: a double whose integral part
// counts days since 30 December 1899 and whose fraction is the time of day.
// Tests may replace the clock; the replacement is process-wide.
#ifndef CORVANE_PLATFORM_CLOCK_H_
#define CORVANE_PLATFORM_CLOCK_H_

namespace corvane {

// The current local date and time.
double NowDateTime();

// Replaces the clock (nullptr restores the real one). For tests only; not
// to be called while other threads read the clock.
void SetClockForTesting(double (*clock)());

// The date-time of a local calendar day at midnight (1899-12-30 is 0).
double DateTimeFromCivil(int year, int month, int day);

// Splits a date-time into its local calendar fields.
struct CivilTime {
  int year, month, day, hour, minute, second;
};
CivilTime CivilFromDateTime(double date_time);

}  // namespace corvane

#endif  // CORVANE_PLATFORM_CLOCK_H_
