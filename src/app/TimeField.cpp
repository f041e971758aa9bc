#include "app/TimeField.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>

#include "app/TimeText.h"

namespace wavecrate {

namespace {

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// The number a part of the field shows: leading blanks, left there by typing,
// count as nothing. Nothing when the text holds anything else.
std::optional<int> PartValue(const std::string& text) {
  std::size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  if (pos == text.size()) return std::nullopt;
  int value = 0;
  for (; pos < text.size(); ++pos) {
    if (!IsDigit(text[pos])) return std::nullopt;
    value = value * 10 + (text[pos] - '0');
  }
  return value;
}

std::string TwoDigits(int value) {
  return std::string{static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

std::string TrimBlanks(const std::string& text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const std::size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

}  // namespace

TTimeFieldModel::TTimeFieldModel(int tag)
    : TTimeFieldModel(tag, tag == kDurationFieldTag ? "00:00:00" : "00:00:00 AM") {}

TTimeFieldModel::TTimeFieldModel(int tag, std::string text) : tag_(tag), text_(std::move(text)) {}

void TTimeFieldModel::SetText(std::string text) {
  text_ = std::move(text);
  selStart_ = 0;
  selLength_ = 0;
}

void TTimeFieldModel::SetSelection(int start, int length) {
  const int size = static_cast<int>(text_.size());
  selStart_ = std::clamp(start, 0, size);
  selLength_ = std::clamp(length, 0, size - selStart_);
}

std::string TTimeFieldModel::SelectedText() const {
  return text_.substr(static_cast<std::size_t>(selStart_), static_cast<std::size_t>(selLength_));
}

void TTimeFieldModel::ReplaceSelection(const std::string& replacement) {
  text_.replace(static_cast<std::size_t>(selStart_), static_cast<std::size_t>(selLength_), replacement);
  // The caret ends after the inserted text, as in an edit box.
  SetSelection(selStart_ + static_cast<int>(replacement.size()), 0);
}

void TTimeFieldModel::MouseDown(int x, int caretFromClick) {
  SetSelection(caretFromClick, 0);
  if (x < 15) {
    SetSelection(0, 2);
  } else if (x >= 16 && x <= 29) {
    SetSelection(3, 2);
  } else if (x >= 31 && x <= 44) {
    SetSelection(6, 2);
  } else if (x >= 46 && x <= 59) {
    SetSelection(9, 2);
  }
}

void TTimeFieldModel::KeyPress(char key) {
  const int p = selStart_;
  SetSelection(p, 2);
  if (IsDigit(key)) {
    const std::string selected = SelectedText();
    // A start time's hours run 1 to 12: a "0" there is only the second digit
    // of "10". Durations may have 00 hours.
    if (key == '0' && p == 0 && TrimBlanks(selected) != "1" && tag_ != kDurationFieldTag) return;
    if (p == 0 || p == 3 || p == 6) {
      // A part that already shows one typed digit (a blank and the digit)
      // takes a second one when the two stay in range; otherwise the key
      // starts the part again.
      const bool oneDigitTyped = !selected.empty() && selected[0] == ' ';
      const int limit = oneDigitTyped ? (p == 0 ? 13 : 60) : 0;
      const std::string candidate = (selected.size() > 1 ? selected.substr(1) : std::string()) + key;
      const std::optional<int> value = PartValue(candidate);
      if (value && *value < limit) {
        ReplaceSelection(candidate);
      } else {
        ReplaceSelection(std::string(" ") + key);
      }
    }
  }
  SetSelection(p, 2);
}

void TTimeFieldModel::UpDownClick(bool up) {
  const int p = selStart_;
  SetSelection(p, 2);
  const std::string selected = SelectedText();
  if (!selected.empty() && selected != "AM" && selected != "PM") {
    const std::optional<int> value = PartValue(selected);
    if (value && p == 0) {
      ReplaceSelection(TwoDigits((*value + (up ? 1 : 11)) % 12));
      // Hours read 12, 01 ... 11 in every time field, durations included.
      if (text_.compare(0, 2, "00") == 0) text_.replace(0, 2, "12");
    } else if (value && (p == 3 || p == 6)) {
      ReplaceSelection(TwoDigits((*value + (up ? 1 : 59)) % 60));
    }
  } else if (selected == "AM") {
    ReplaceSelection("PM");
  } else if (selected == "PM") {
    ReplaceSelection("AM");
  }
  SetSelection(p, 2);
}

void TTimeFieldModel::Exit() {
  SetText(StringReplaceAll(StringReplaceAll("::" + text_, ": ", ":0"), "::", ""));
}

}  // namespace wavecrate
