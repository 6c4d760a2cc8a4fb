#pragma once
// Wall-clock local time with milliseconds. It stamps log lines and names the
// log file, so it is never scaled like the program's clock.
struct LocalTime {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

LocalTime GetLocalTime();
