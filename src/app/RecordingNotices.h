// What the desktop's notifications say about recordings, in plain words.
#pragma once

#include <string>
#include <vector>

#include "scheduler/RecordingEvents.h"

namespace wavecrate {

struct TNotice {
  std::string Title;
  std::string Body;
  // Something went wrong, or may: shown with more weight than the rest.
  bool Problem = false;
};

TNotice StartedNotice(const TRecordingReport& report);
TNotice FinishedNotice(const TRecordingReport& report);
// The recording has begun but its stream cannot be reached yet.
TNotice WaitingNotice(const TRecordingReport& report);
TNotice WarningNotice(const std::string& text);

// A recording that kept nothing but silence from start to end heard no
// stream at all: it failed, whatever the capture made of it.
TRecordingReport JudgedBySilence(TRecordingReport report);

// "45 s", "59 min", "1 h 5 min".
std::string LengthText(double seconds);

// The silent stretches of a recording in short: "1 gap, 7 s", "2 gaps,
// 41 s" (their total length); "" for none.
std::string GapsText(const std::vector<TSilentGap>& gaps);

// The text with an upper-case first letter and a full stop at the end, so a
// reason written as a fragment reads as a sentence.
std::string Sentence(std::string text);

}  // namespace wavecrate
