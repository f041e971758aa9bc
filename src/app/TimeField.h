// The masked time fields of the schedule editor as a model that the window's
// widget binds to: the text, the selection, and the handlers for a mouse
// click, a typed key, an up/down button click and leaving the field.
//
// Start fields read "hh:nn:ss AM" (hours at 0, minutes at 3, seconds at 6,
// AM/PM at 9) and carry Tag 0; duration fields read "hh:nn:ss" and carry
// Tag 2. The user never types into a field directly: every change replaces the
// two-character selection.
#pragma once

#include <string>

namespace wavecrate {

inline constexpr int kStartFieldTag = 0;
inline constexpr int kDurationFieldTag = 2;

class TTimeFieldModel {
 public:
  // A fresh field: "00:00:00 AM" for a start field, "00:00:00" otherwise.
  explicit TTimeFieldModel(int tag);
  TTimeFieldModel(int tag, std::string text);

  int Tag() const { return tag_; }
  const std::string& Text() const { return text_; }
  // Sets the text as loading the settings does (verbatim, no check); the
  // selection collapses to the start, as an edit box's does.
  void SetText(std::string text);

  int SelStart() const { return selStart_; }
  int SelLength() const { return selLength_; }
  // Clamped to the text, as an edit box clamps it.
  void SetSelection(int start, int length);
  std::string SelectedText() const;

  // A mouse button pressed at x (pixels inside the field). The click has
  // already put the caret at `caretFromClick`; x below 15 selects the hours,
  // 16-29 the minutes, 31-44 the seconds and 46-59 AM/PM, while exactly 15, 30
  // or 45 and 60 or more leave the selection where the click put it.
  void MouseDown(int x, int caretFromClick);

  // A key typed into the field. Digits fill the selected hours, minutes or
  // seconds two-digit-wise (the first digit shows as a blank and the digit);
  // a start field refuses "0" as the first digit of its hours. Any other key
  // changes nothing but the selection's length, which becomes 2.
  void KeyPress(char key);

  // The up/down button of this field: steps the selected hours modulo 12
  // (shown 12, 01 ... 11, never 00, in durations as well), minutes or seconds
  // modulo 60, or toggles AM/PM.
  void UpDownClick(bool up);

  // Leaving the field: a blank at the start or after a colon becomes "0", so
  // " 7: 5:00 PM" becomes "07:05:00 PM".
  void Exit();

 private:
  void ReplaceSelection(const std::string& replacement);

  int tag_;
  std::string text_;
  int selStart_ = 0;
  int selLength_ = 0;
};

}  // namespace wavecrate
