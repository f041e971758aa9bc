// "Recordings": the recordings history, newest first, with buttons that open
// a recording's file or its folder in the desktop's default applications.
// The history is read off the GUI thread, and only its newest part.
#pragma once

#include <QWidget>
#include <cstddef>
#include <string>
#include <vector>

#include "app/RecordingHistory.h"

class QLabel;
class QPushButton;
class QTableWidget;

namespace wavecrate {

class TRecordingsForm : public QWidget {
  Q_OBJECT
 public:
  // The most recordings listed; the history keeps all of them.
  static constexpr std::size_t kShownRecordings = 1000;

  explicit TRecordingsForm(std::string historyPath, QWidget* parent = nullptr);

  // Reads the history again (in the background); Loaded is emitted once the
  // list shows it.
  void Reload();
  bool Loading() const { return loading_; }
  QTableWidget* Table() const { return table_; }
  // The record of a row of the list.
  const THistoryRecord* RecordAt(int row) const;

  void OpenFile();
  void OpenFolder();

 signals:
  void Loaded();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Fill(std::vector<THistoryRecord> records, quint64 generation);
  void UpdateButtons();

  std::string historyPath_;
  std::vector<THistoryRecord> records_;
  QTableWidget* table_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* openFile_ = nullptr;
  QPushButton* openFolder_ = nullptr;
  bool loading_ = false;
  quint64 generation_ = 0;  // of the newest read asked for; older answers are dropped
};

}  // namespace wavecrate
