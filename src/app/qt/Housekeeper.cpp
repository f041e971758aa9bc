#include "app/qt/Housekeeper.h"

#include <QAction>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QThreadPool>
#include <QVBoxLayout>
#include <cstdio>
#include <limits>
#include <set>
#include <utility>

#include "app/TrayStatus.h"
#include "common/Clock.h"

namespace wavecrate {
namespace {

// What the dialog offers when the rule is not of that kind yet.
constexpr int kSuggestedDays = 30;
constexpr int kSuggestedPerShow = 10;

QSpinBox* MakeCount(QWidget* parent, const char* name, int max, int value) {
  auto* spin = new QSpinBox(parent);
  spin->setObjectName(name);
  spin->setRange(1, max);
  spin->setValue(value);
  return spin;
}

std::optional<std::int64_t> SizeOnDisk(const std::string& path) {
  const QFileInfo info(QString::fromStdString(path));
  // A link put where a recording was is not the recording.
  if (info.isSymLink() || !info.isFile()) return std::nullopt;
  return info.size();
}

// The desktop's trash in the user's data folder, made as a desktop would
// make it when it is not there yet. Without it Qt (6.4) moves a file into
// "files" under the working folder instead, and reports success.
bool HomeTrashReady() {
  const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  if (data.isEmpty() || !QDir().mkpath(data)) return false;
  const QDir folder(data);
  return folder.exists("Trash") ||
         folder.mkdir("Trash", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

struct TPass {
  TKeepRule Rule;
  std::int64_t Now = 0;
  std::set<std::string> ShowsRecording;
  std::shared_ptr<TRecordingHistory> History;
};

// On a pool thread: reads the whole history, moves what the rule lets go and
// keeps each move in the history. Returns how many files were moved.
int RunPass(const TPass& pass) {
  const std::vector<THistoryRecord> history =
      ReadRecentRecordings(pass.History->Path(), std::numeric_limits<std::size_t>::max());
  const std::string rule = KeepRuleWords(pass.Rule);
  const std::vector<THistoryRecord> gone =
      RecordingsToTrash(history, pass.Rule, pass.Now, pass.ShowsRecording, SizeOnDisk);
  if (gone.empty()) return 0;
  if (!HomeTrashReady()) {
    std::fprintf(
        stderr, "wavecrate: housekeeping (%s): no trash folder can be made in %s; nothing is moved\n",
        rule.c_str(),
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toLocal8Bit().constData());
    return 0;
  }
  int moved = 0;
  for (const THistoryRecord& record : gone) {
    const TRecordingReport& r = record.Report;
    const QString original = QString::fromStdString(r.File);
    QFile file(original);
    if (!file.moveToTrash()) {
      std::fprintf(stderr, "wavecrate: housekeeping (%s): %s could not be moved to the trash: %s\n",
                   rule.c_str(), r.File.c_str(), file.errorString().toLocal8Bit().constData());
      continue;
    }
    if (QFileInfo(file.fileName()).isRelative()) {
      // No trash was found after all: the file goes back where it was.
      QFile::rename(file.fileName(), original);
      std::fprintf(stderr,
                   "wavecrate: housekeeping (%s): %s was not moved, no trash folder was found for it\n",
                   rule.c_str(), r.File.c_str());
      continue;
    }
    ++moved;
    std::fprintf(stderr, "wavecrate: housekeeping (%s): moved %s (\"%s\", %s) to the trash as %s\n",
                 rule.c_str(), r.File.c_str(), r.ShowName.c_str(), DateTimeText(r.ActualStart).c_str(),
                 file.fileName().toLocal8Bit().constData());
    std::string error;
    if (!pass.History->Append(TrashedRecord(record, pass.Now), true, &error)) {
      std::fprintf(stderr, "wavecrate: the recordings history %s cannot be written: %s\n",
                   pass.History->Path().c_str(), error.c_str());
    }
  }
  return moved;
}

}  // namespace

TKeepRecordingsDialog::TKeepRecordingsDialog(const TKeepRule& rule, QWidget* parent) : QDialog(parent) {
  setObjectName("KeepRecordingsDialog");
  setWindowTitle("Keep Recordings");

  auto* note = new QLabel(
      "Older recordings are moved to the desktop's trash, from where they can be restored. Only recordings "
      "that this program made, and that are still as it left them, are ever moved: nothing else in their "
      "folder is touched, nor the recordings of a show while it is being recorded.",
      this);
  note->setWordWrap(true);

  forever_ = new QRadioButton("Keep every recording (forever)", this);
  forever_->setObjectName("KeepForever");
  days_ = new QRadioButton("Keep the recordings of the last", this);
  days_->setObjectName("KeepDays");
  perShow_ = new QRadioButton("Keep the last", this);
  perShow_->setObjectName("KeepPerShow");
  using K = TKeepRule::TKind;
  dayCount_ =
      MakeCount(this, "KeepDaysCount", kMaxKeepDays, rule.Kind == K::Days ? rule.Count : kSuggestedDays);
  showCount_ = MakeCount(this, "KeepPerShowCount", kMaxKeepPerShow,
                         rule.Kind == K::PerShow ? rule.Count : kSuggestedPerShow);
  (rule.Kind == K::Days ? days_ : rule.Kind == K::PerShow ? perShow_ : forever_)->setChecked(true);
  dayCount_->setEnabled(days_->isChecked());
  showCount_->setEnabled(perShow_->isChecked());
  connect(days_, &QRadioButton::toggled, dayCount_, &QSpinBox::setEnabled);
  connect(perShow_, &QRadioButton::toggled, showCount_, &QSpinBox::setEnabled);

  auto* choices = new QGridLayout;
  choices->addWidget(forever_, 0, 0, 1, 3);
  choices->addWidget(days_, 1, 0);
  choices->addWidget(dayCount_, 1, 1);
  choices->addWidget(new QLabel("days", this), 1, 2);
  choices->addWidget(perShow_, 2, 0);
  choices->addWidget(showCount_, 2, 1);
  choices->addWidget(new QLabel("recordings of each show", this), 2, 2);
  choices->setColumnStretch(2, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setObjectName("OkButton");
  buttons->button(QDialogButtonBox::Cancel)->setObjectName("CancelButton");
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(note);
  layout->addLayout(choices);
  layout->addWidget(buttons);
  resize(460, sizeHint().height());
}

TKeepRule TKeepRecordingsDialog::Chosen() const {
  if (days_->isChecked()) return {TKeepRule::TKind::Days, dayCount_->value()};
  if (perShow_->isChecked()) return {TKeepRule::TKind::PerShow, showCount_->value()};
  return {};
}

THousekeeper::THousekeeper(QObject* parent) : QObject(parent) {
  setObjectName("Housekeeper");
}

void AddKeepRecordingsMenuItem(QMenu* menu, QWidget* window, THousekeeper* keeper) {
  QAction* action = menu->addAction(QString::fromUtf8("&Keep Recordings\u2026"));
  action->setObjectName("KeepRecordings1");
  QObject::connect(action, &QAction::triggered, keeper, [keeper, window] { keeper->ShowDialog(window); });
}

void THousekeeper::Start(std::shared_ptr<TRecordingHistory> history, const Clock* clock,
                         std::function<std::set<std::string>()> showsRecording) {
  history_ = std::move(history);
  clock_ = clock;
  showsRecording_ = std::move(showsRecording);
  if (!history_) return;
  QMetaObject::invokeMethod(this, &THousekeeper::Run, Qt::QueuedConnection);
}

void THousekeeper::ShowDialog(QWidget* window) {
  if (!dialog_) {
    dialog_ = new TKeepRecordingsDialog(rule_, window);
    dialog_->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog_, &QDialog::accepted, this, [this] { Apply(dialog_->Chosen()); });
    // Window-modal without a nested event loop: the timers and the slot
    // threads' events go on meanwhile.
    dialog_->open();
  }
  dialog_->raise();
  dialog_->activateWindow();
}

void THousekeeper::Apply(const TKeepRule& rule) {
  rule_ = rule;
  std::fprintf(stderr, "wavecrate: Keep Recordings: %s\n", KeepRuleWords(rule_).c_str());
  Run();
}

void THousekeeper::Run() {
  if (!history_) return;
  if (running_) {
    again_ = true;
    return;
  }
  if (rule_.Kind == TKeepRule::TKind::Forever) {
    emit Done(0);
    return;
  }
  running_ = true;
  const Clock* clock = clock_ != nullptr ? clock_ : &SystemClock();
  TPass pass{rule_, clock->Now().UnixSeconds, showsRecording_ ? showsRecording_() : std::set<std::string>{},
             history_};
  QPointer<THousekeeper> self(this);
  QThreadPool::globalInstance()->start([self, pass = std::move(pass)] {
    const int moved = RunPass(pass);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, moved] {
          if (self) self->Ended(moved);
        },
        Qt::QueuedConnection);
  });
}

void THousekeeper::Ended(int moved) {
  running_ = false;
  emit Done(moved);
  if (std::exchange(again_, false)) Run();
}

}  // namespace wavecrate
