// The time texts of the schedule editor: 12-hour start texts ("07:05:09 PM"),
// durations ("01:30:00") and the 24-hour "hh:nn:ss" times of day that the slot
// threads compare with the clock; and the stream link as the threads get it.
#pragma once

#include <stdexcept>
#include <string>

namespace wavecrate {

// A time text that cannot be read; what() is "'<text>' is not a valid time".
class TInvalidTimeError : public std::runtime_error {
 public:
  explicit TInvalidTimeError(const std::string& text);
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// Seconds since midnight of a time text "h:nn:ss" or "h:nn" (the hours one or
// two digits, minutes and seconds two at most; blanks before a number and
// around the text are allowed, as the time fields leave them while typing).
// Hours 0-23, minutes and seconds 0-59. Throws TInvalidTimeError otherwise.
int ParseTimeOfDay(const std::string& text);

// "hh:nn:ss" of a count of seconds, taken modulo one day.
std::string FormatTimeOfDay(long long seconds);

// The start field's 12-hour text in 24-hour form: " AM" and " PM" are removed,
// a PM time other than 12 gains twelve hours, and an AM time's leading "12"
// becomes "00". A text without "AM" or "PM" (a duration, or a start already in
// 24-hour form) passes unchanged. Only a PM text that needs the twelve hours
// added is read as a time, so only that case can throw TInvalidTimeError.
std::string TimeTo24Hour(const std::string& time);

// The end of a recording: start plus duration as a time of day, wrapping past
// midnight ("23:30:00" + "01:00:00" gives "00:30:00"). Throws
// TInvalidTimeError for a text that cannot be read.
std::string AddDuration(const std::string& start, const std::string& duration);

// Unwraps a link copied from a web page's play button,
// javascript:void(window.open('ADDRESS')), to ADDRESS; any other link passes
// unchanged.
std::string CleanStreamLink(const std::string& link);

// Every non-overlapping occurrence of `from`, scanned left to right, replaced
// by `to`; the replaced text is not scanned again.
std::string StringReplaceAll(const std::string& text, const std::string& from, const std::string& to);

}  // namespace wavecrate
