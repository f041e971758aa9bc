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
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QTableWidget>
#include <QThreadPool>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <memory>

#include "app/RecordingNotices.h"
#include "app/TrayStatus.h"
#include "audio/RecordingFile.h"
#include "audio/gst/TaggedMp3.h"
#include "common/Clock.h"
#include "scheduler/OutputNaming.h"

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
  table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
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
  saveTagged_ = new QPushButton("Save as Tagged MP3\u2026", this);
  saveTagged_->setObjectName("SaveTagged");
  saveTagged_->setToolTip("Writes a copy of each selected recording as an MP3 file with tags, beside it");
  progress_ = new QProgressBar(this);
  progress_->setObjectName("TaggedProgress");
  progress_->setRange(0, 1000);
  progress_->setVisible(false);
  auto* close = new QPushButton("Close", this);
  close->setObjectName("CloseRecordings");
  connect(openFile_, &QPushButton::clicked, this, &TRecordingsForm::OpenFile);
  connect(openFolder_, &QPushButton::clicked, this, &TRecordingsForm::OpenFolder);
  connect(saveTagged_, &QPushButton::clicked, this, &TRecordingsForm::SaveAsTagged);
  connect(close, &QPushButton::clicked, this, &QWidget::close);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(status_, 1);
  buttons->addWidget(progress_);
  buttons->addWidget(saveTagged_);
  buttons->addWidget(openFile_);
  buttons->addWidget(openFolder_);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(table_);
  layout->addLayout(buttons);
  UpdateButtons();
}

TRecordingsForm::~TRecordingsForm() {
  cancelCopies_->store(true);
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
  saveTagged_->setEnabled(!copying_ && !table_->selectionModel()->selectedRows().isEmpty());
}

namespace {

struct TCopyJob {
  std::string Source;
  TRecordingTags Tags;
};

}  // namespace

void TRecordingsForm::SaveAsTagged() {
  if (copying_) return;
  std::vector<TCopyJob> jobs;
  TCopyResult skipped;
  QModelIndexList rows = table_->selectionModel()->selectedRows();
  std::sort(rows.begin(), rows.end(),
            [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  for (const QModelIndex& index : rows) {
    const THistoryRecord* record = RecordAt(index.row());
    if (!record) continue;
    const TRecordingReport& r = record->Report;
    if (r.Result == TRecordingResult::InProgress) {
      skipped.Failed.push_back(r.File + ": still recording");
      continue;
    }
    // Names and the date are the show's start's, as the recording's own.
    jobs.push_back(
        TCopyJob{r.File, MakeRecordingTags(r.ShowName, r.Station, r.StreamUrl, LocalTimeOf(r.ScheduledStart),
                                           LocalTimeOf(r.ActualStart))});
  }
  if (jobs.empty()) {
    CopiesFinished(skipped);
    return;
  }
  copying_ = true;
  UpdateButtons();
  progress_->setValue(0);
  progress_->setVisible(true);
  status_->setText(
      QString("Writing %1 tagged cop%2...").arg(jobs.size()).arg(jobs.size() == 1 ? "y" : "ies"));

  QPointer<TRecordingsForm> self(this);
  auto cancel = cancelCopies_;
  QThreadPool::globalInstance()->start(
      [self, cancel, jobs = std::move(jobs), result = std::move(skipped)]() mutable {
        auto tell = [self](auto call) {
          QMetaObject::invokeMethod(
              QCoreApplication::instance(),
              [self, call] {
                if (self) call(*self);
              },
              Qt::QueuedConnection);
        };
        int lastShown = -1;
        for (std::size_t i = 0; i < jobs.size() && !cancel->load(); ++i) {
          const TCopyJob& job = jobs[i];
          const std::optional<TMpegStream> stream = LocateMpegStream(job.Source);
          if (!stream) {
            result.Failed.push_back(job.Source + ": not there, or no MP3 recording");
            continue;
          }
          if (stream->Type == TRecordingFileType::Tagged) {
            result.Failed.push_back(job.Source + ": is a tagged MP3 file already");
            continue;
          }
          // Never over anything: the first free "(tagged)", "(tagged) (2)"...
          const TClaimedFile target = ClaimOutputFile(TaggedCopyPath(job.Source));
          if (!target.Created) {
            result.Failed.push_back(job.Source + ": " + target.Path + " cannot be created");
            continue;
          }
          std::string error;
          const auto share = [&](double done) {
            const int value =
                static_cast<int>((static_cast<double>(i) + done) / static_cast<double>(jobs.size()) * 1000);
            if (value == lastShown) return;
            lastShown = value;
            tell([value](TRecordingsForm& form) { form.progress_->setValue(value); });
          };
          if (CopyToTaggedMp3(job.Source, target.Path, job.Tags, share, cancel.get(), &error)) {
            result.Written.push_back(target.Path);
          } else {
            result.Failed.push_back(job.Source + ": " + error);
          }
        }
        tell([result](TRecordingsForm& form) { form.CopiesFinished(result); });
      });
}

void TRecordingsForm::CopiesFinished(const TCopyResult& result) {
  copying_ = false;
  progress_->setVisible(false);
  QString text = QString("%1 tagged cop%2 written")
                     .arg(result.Written.size())
                     .arg(result.Written.size() == 1 ? "y" : "ies");
  if (!result.Failed.empty()) text += QString(", %1 not copied").arg(result.Failed.size());
  status_->setText(text + ".");
  QStringList written, failed;
  for (const std::string& line : result.Written) written << Q(line);
  for (const std::string& line : result.Failed) failed << Q(line);
  status_->setToolTip((written + failed).join("\n"));
  for (const std::string& line : result.Failed)
    std::fprintf(stderr, "wavecrate: no tagged copy of %s\n", line.c_str());
  UpdateButtons();
  emit CopiesDone(written, failed);
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
