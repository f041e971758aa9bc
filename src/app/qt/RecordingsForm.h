// "Recordings": the recordings history, newest first, with buttons that open
// a recording's file or its folder in the desktop's default applications,
// and one that writes a tagged MP3 copy beside each selected recording that
// is a WAVE file. The history is read, and copies are written, off the GUI
// thread; the history only its newest part.
#pragma once

#include <QStringList>
#include <QWidget>
#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "app/RecordingHistory.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace wavecrate {

class TRecordingsForm : public QWidget {
  Q_OBJECT
 public:
  // The most recordings listed; the history keeps all of them.
  static constexpr std::size_t kShownRecordings = 1000;

  explicit TRecordingsForm(std::string historyPath, QWidget* parent = nullptr);
  ~TRecordingsForm() override;

  // Reads the history again (in the background); Loaded is emitted once the
  // list shows it.
  void Reload();
  bool Loading() const { return loading_; }
  QTableWidget* Table() const { return table_; }
  // The record of a row of the list.
  const THistoryRecord* RecordAt(int row) const;

  void OpenFile();
  void OpenFolder();
  // "Save as Tagged MP3...": copies the MP3 frames of every selected WAVE
  // recording (no new encoding) into "<name> (tagged).mp3" beside it, never
  // over an existing file, with the show's tags. Recordings that are tagged
  // already, still recording or gone are passed over. CopiesDone follows.
  // The share done shows in a progress bar meanwhile.
  void SaveAsTagged();
  bool Copying() const { return copying_; }

 signals:
  void Loaded();
  // The copies written, and the recordings not copied with why.
  void CopiesDone(const QStringList& written, const QStringList& failed);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Fill(std::vector<THistoryRecord> records, quint64 generation);
  // What SaveAsTagged wrote, and what it could not copy, with why.
  struct TCopyResult {
    std::vector<std::string> Written;
    std::vector<std::string> Failed;
  };
  void CopiesFinished(const TCopyResult& result);
  void UpdateButtons();

  std::string historyPath_;
  std::vector<THistoryRecord> records_;
  QTableWidget* table_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* openFile_ = nullptr;
  QPushButton* openFolder_ = nullptr;
  QPushButton* saveTagged_ = nullptr;
  QProgressBar* progress_ = nullptr;
  bool copying_ = false;
  // Raised when the window goes away, so a long copy does not outlive it.
  std::shared_ptr<std::atomic<bool>> cancelCopies_ = std::make_shared<std::atomic<bool>>(false);
  bool loading_ = false;
  quint64 generation_ = 0;  // of the newest read asked for; older answers are dropped
};

}  // namespace wavecrate
