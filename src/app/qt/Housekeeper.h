// Options, "Keep Recordings…": the dialog, and the housekeeping that moves
// the program's own older recordings to the desktop's trash under its rule
// (see app/Housekeeping.h for which go). It runs once at start-up, after
// every recording and whenever the rule is changed; the history is read and
// the files are moved on a pool thread, never on the window's. The
// controller owns it, so a headless run keeps house too.
#pragma once

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "app/Housekeeping.h"
#include "app/RecordingHistory.h"

class QMenu;
class QRadioButton;
class QSpinBox;

namespace wavecrate {

class Clock;

class TKeepRecordingsDialog : public QDialog {
  Q_OBJECT
 public:
  TKeepRecordingsDialog(const TKeepRule& rule, QWidget* parent);
  TKeepRule Chosen() const;

 private:
  QRadioButton* forever_ = nullptr;
  QRadioButton* days_ = nullptr;
  QRadioButton* perShow_ = nullptr;
  QSpinBox* dayCount_ = nullptr;
  QSpinBox* showCount_ = nullptr;
};

class THousekeeper : public QObject {
  Q_OBJECT
 public:
  // It keeps the rule (forever) and does nothing until Start.
  explicit THousekeeper(QObject* parent);

  // The rule as the settings file keeps it. Setting it does not run the
  // housekeeping: the start-up run comes after the settings are loaded.
  std::string RuleText() const { return KeepRuleText(rule_); }
  void SetRuleText(const std::string& text) { rule_ = KeepRuleFromText(text); }
  const TKeepRule& Rule() const { return rule_; }

  // From now on each Run is a pass, and one runs as soon as the event loop
  // does. `history` is the recordings' writer, which keeps the moves too;
  // without one nothing ever runs. `clock` tells the recordings' age and
  // `showsRecording` which shows are being recorded (never touched).
  void Start(std::shared_ptr<TRecordingHistory> history, const Clock* clock,
             std::function<std::set<std::string>()> showsRecording);

  // Sets the rule and runs the housekeeping under it (the dialog's OK).
  void Apply(const TKeepRule& rule);
  // One pass; a pass asked for while one runs follows it.
  void Run();
  bool Running() const { return running_; }
  // The dialog, on top of `window`.
  void ShowDialog(QWidget* window);
  TKeepRecordingsDialog* Dialog() const { return dialog_; }

 signals:
  // A pass has ended; `moved` files went to the trash.
  void Done(int moved);

 private:
  void Ended(int moved);

  TKeepRule rule_;
  std::shared_ptr<TRecordingHistory> history_;
  const Clock* clock_ = nullptr;
  std::function<std::set<std::string>()> showsRecording_;
  QPointer<TKeepRecordingsDialog> dialog_;
  bool running_ = false;
  bool again_ = false;
};

// The "Keep Recordings…" item at the end of `menu`, showing the dialog over
// `window`.
void AddKeepRecordingsMenuItem(QMenu* menu, QWidget* window, THousekeeper* keeper);

}  // namespace wavecrate
