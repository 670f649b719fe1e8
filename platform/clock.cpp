#include "platform/clock.h"

#include <atomic>
#include <cmath>
#include <ctime>
#include <sys/time.h>

namespace corvane {
namespace {

std::atomic<double (*)()> g_clock{nullptr};

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

// 1899-12-30 is 25569 days before 1970-01-01.
constexpr long long kEpochOffsetDays = 25569;

double RealNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  const time_t secs = tv.tv_sec;
  tm local{};
  localtime_r(&secs, &local);
  const long long days =
      DaysFromCivil(local.tm_year + 1900, static_cast<unsigned>(local.tm_mon + 1),
                    static_cast<unsigned>(local.tm_mday)) +
      kEpochOffsetDays;
  const double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 +
                         local.tm_sec + tv.tv_usec / 1e6;
  return static_cast<double>(days) + seconds / 86400.0;
}

}  // namespace

double NowDateTime() {
  double (*clock)() = g_clock.load();
  return clock != nullptr ? clock() : RealNow();
}

void SetClockForTesting(double (*clock)()) { g_clock.store(clock); }

double DateTimeFromCivil(int year, int month, int day) {
  return static_cast<double>(DaysFromCivil(year, static_cast<unsigned>(month),
                                           static_cast<unsigned>(day)) +
                             kEpochOffsetDays);
}

CivilTime CivilFromDateTime(double date_time) {
  const double day_part = std::floor(date_time);
  long long z = static_cast<long long>(day_part) - kEpochOffsetDays + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  CivilTime out{};
  out.year = static_cast<int>(y + (m <= 2));
  out.month = static_cast<int>(m);
  out.day = static_cast<int>(d);
  long long secs = std::llround((date_time - day_part) * 86400.0);
  if (secs >= 86400) secs = 86399;
  out.hour = static_cast<int>(secs / 3600);
  out.minute = static_cast<int>(secs / 60 % 60);
  out.second = static_cast<int>(secs % 60);
  return out;
}

}  // namespace corvane
