#include "app/qt/RecordingsForm.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QTableWidget>
#include <QThreadPool>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <memory>

#include "app/RecordingNotices.h"
#include "app/TrayStatus.h"

namespace wavecrate {
namespace {

enum TColumn { kWhen, kShow, kStation, kLength, kSilent, kGaps, kResult, kDetails, kFile, kColumns };

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// "m:ss" (or "h:mm:ss") into the file.
QString FileTime(double seconds) {
  const long long total = std::max(0LL, static_cast<long long>(seconds));
  const long long h = total / 3600, m = total / 60 % 60, s = total % 60;
  return h > 0 ? QString("%1:%2:%3").arg(h).arg(m, 2, 10, QChar('0')).arg(s, 2, 10, QChar('0'))
               : QString("%1:%2").arg(m).arg(s, 2, 10, QChar('0'));
}

// Where each gap lies, for the cell's tip: "0:12 (7 s), 1:35 (34 s)".
QString GapsTip(const std::vector<TSilentGap>& gaps) {
  QStringList parts;
  for (const TSilentGap& gap : gaps)
    parts << FileTime(gap.StartSeconds) + " (" + Q(LengthText(gap.Seconds)) + ")";
  return parts.join(", ");
}

QString ResultText(const THistoryRecord& record) {
  const TRecordingReport& r = record.Report;
  QString word = QString(ResultWord(r.Result));
  word[0] = word[0].toUpper();
  if (r.Joined) word += " (joined late)";
  if (record.TrashedAt != 0) word += ", moved to the trash " + Q(DateTimeText(record.TrashedAt));
  return word;
}

}  // namespace

TRecordingsForm::TRecordingsForm(std::string historyPath, QWidget* parent)
    : QWidget(parent, Qt::Window), historyPath_(std::move(historyPath)) {
  setObjectName("RecordingsForm");
  setWindowTitle("Recordings");
  resize(900, 420);

  table_ = new QTableWidget(0, kColumns, this);
  table_->setObjectName("RecordingsTable");
  table_->setHorizontalHeaderLabels(
      {"Started", "Show", "Station", "Length", "Silent", "Gaps", "Result", "Details", "File"});
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::SingleSelection);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->verticalHeader()->setVisible(false);
  table_->horizontalHeader()->setStretchLastSection(true);
  connect(table_, &QTableWidget::itemSelectionChanged, this, &TRecordingsForm::UpdateButtons);
  connect(table_, &QTableWidget::cellDoubleClicked, this, [this] { OpenFile(); });

  status_ = new QLabel(this);
  status_->setObjectName("RecordingsStatus");
  openFile_ = new QPushButton("Open File", this);
  openFile_->setObjectName("OpenFile");
  openFolder_ = new QPushButton("Open Folder", this);
  openFolder_->setObjectName("OpenFolder");
  auto* close = new QPushButton("Close", this);
  close->setObjectName("CloseRecordings");
  connect(openFile_, &QPushButton::clicked, this, &TRecordingsForm::OpenFile);
  connect(openFolder_, &QPushButton::clicked, this, &TRecordingsForm::OpenFolder);
  connect(close, &QPushButton::clicked, this, &QWidget::close);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(status_, 1);
  buttons->addWidget(openFile_);
  buttons->addWidget(openFolder_);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(table_);
  layout->addLayout(buttons);
  UpdateButtons();
}

void TRecordingsForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Reload();
}

void TRecordingsForm::Reload() {
  loading_ = true;
  const quint64 generation = ++generation_;
  if (records_.empty()) status_->setText("Reading the history...");
  // The pool's thread reads; the list is filled on the GUI thread, and only
  // while this window still exists (the pointer is read there alone).
  QPointer<TRecordingsForm> self(this);
  const std::string path = historyPath_;
  QThreadPool::globalInstance()->start([self, path, generation] {
    auto records =
        std::make_shared<std::vector<THistoryRecord>>(ReadRecentRecordings(path, kShownRecordings));
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, records, generation] {
          if (self) self->Fill(std::move(*records), generation);
        },
        Qt::QueuedConnection);
  });
}

void TRecordingsForm::Fill(std::vector<THistoryRecord> records, quint64 generation) {
  if (generation != generation_) return;  // a newer read is on its way
  loading_ = false;
  records_ = std::move(records);
  table_->setRowCount(static_cast<int>(records_.size()));
  for (int row = 0; row < static_cast<int>(records_.size()); ++row) {
    const THistoryRecord& record = records_[static_cast<std::size_t>(row)];
    const TRecordingReport& r = record.Report;
    const bool running = r.Result == TRecordingResult::InProgress;
    const QString cells[kColumns] = {
        Q(DateTimeText(r.ActualStart)),
        Q(r.ShowName),
        Q(r.Station),
        running ? QString() : Q(LengthText(r.ActualLength)),
        running ? QString() : Q(LengthText(r.SilentSeconds)),
        Q(GapsText(r.Gaps)),
        ResultText(record),
        Q(r.Reason),
        Q(r.File),
    };
    for (int c = 0; c < kColumns; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      item->setToolTip(c == kGaps && !r.Gaps.empty() ? GapsTip(r.Gaps) : cells[c]);
      table_->setItem(row, c, item);
    }
  }
  table_->resizeColumnsToContents();
  status_->setText(records_.empty() ? QString("Nothing recorded yet.")
                                    : QString("%1 most recent recordings").arg(records_.size()));
  UpdateButtons();
  emit Loaded();
}

const THistoryRecord* TRecordingsForm::RecordAt(int row) const {
  if (row < 0 || row >= static_cast<int>(records_.size())) return nullptr;
  return &records_[static_cast<std::size_t>(row)];
}

void TRecordingsForm::UpdateButtons() {
  const THistoryRecord* record = RecordAt(table_->currentRow());
  const QFileInfo file(record ? Q(record->Report.File) : QString());
  openFile_->setEnabled(record && file.isFile());
  openFolder_->setEnabled(record && file.dir().exists());
}

void TRecordingsForm::OpenFile() {
  const THistoryRecord* record = RecordAt(table_->currentRow());
  if (!record || !QFileInfo(Q(record->Report.File)).isFile()) return;
  if (QDesktopServices::openUrl(QUrl::fromLocalFile(Q(record->Report.File)))) return;
  // Nothing on this desktop plays it: say so rather than do nothing.
  auto* box =
      new QMessageBox(QMessageBox::Information, windowTitle(),
                      "No program could be opened to play\n" + Q(record->Report.File), QMessageBox::Ok, this);
  box->setObjectName("FileNotOpened");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setTextInteractionFlags(Qt::TextSelectableByMouse);
  box->setModal(false);
  box->show();
}

void TRecordingsForm::OpenFolder() {
  const THistoryRecord* record = RecordAt(table_->currentRow());
  if (!record) return;
  const QFileInfo file(Q(record->Report.File));
  if (!file.dir().exists()) return;
  QDesktopServices::openUrl(QUrl::fromLocalFile(file.absolutePath()));
}

}  // namespace wavecrate
