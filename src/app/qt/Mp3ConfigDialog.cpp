#include "app/qt/Mp3ConfigDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QVBoxLayout>
#include <cstdio>
#include <utility>

#include "audio/EncoderPlan.h"
#include "audio/gst/GraphServices.h"

namespace wavecrate {
namespace {

QComboBox* MakeCombo(QWidget* parent, const char* name) {
  auto* combo = new QComboBox(parent);
  combo->setObjectName(name);
  return combo;
}

int DataAt(const QComboBox* combo) {
  return combo->currentData().toInt();
}

void SelectData(QComboBox* combo, int value) {
  const int index = combo->findData(value);
  if (index >= 0) combo->setCurrentIndex(index);
}

}  // namespace

TMp3ConfigDialog::TMp3ConfigDialog(std::string settingsPath, QWidget* parent)
    : QDialog(parent), path_(std::move(settingsPath)) {
  setObjectName("Mp3ConfigDialog");
  setWindowTitle("MP3 encoding config");
  setModal(true);

  rateControl_ = MakeCombo(this, "RateControl");
  rateControl_->addItem("CBR (constant bitrate)", static_cast<int>(TRateControl::Cbr));
  rateControl_->addItem("ABR (average bitrate)", static_cast<int>(TRateControl::Abr));
  rateControl_->addItem("VBR (variable bitrate, by quality)", static_cast<int>(TRateControl::Vbr));

  bitrate_ = MakeCombo(this, "Bitrate");
  for (int kbps : kMp3Bitrates) bitrate_->addItem(QString("%1 kbit/s").arg(kbps), kbps);

  vbrQuality_ = new QSpinBox(this);
  vbrQuality_->setObjectName("VbrQuality");
  vbrQuality_->setRange(0, 9);
  vbrQuality_->setToolTip("0 gives the best sound and the largest file, 9 the smallest file");

  mode_ = MakeCombo(this, "Mode");
  mode_->addItem("Joint stereo", static_cast<int>(TChannelMode::JointStereo));
  mode_->addItem("Mono", static_cast<int>(TChannelMode::Mono));

  sampleRate_ = MakeCombo(this, "SampleRate");
  sampleRate_->addItem("Same as the source", 0);
  for (int hz : kMp3SampleRates) sampleRate_->addItem(QString("%1 Hz").arg(hz), hz);

  // The file type is the program's choice, not the encoder's: it lives in
  // the program's own settings, and OK sets it for the next recordings.
  fileType_ = MakeCombo(this, "FileType");
  fileType_->addItem("MP3 in a WAVE file (as earlier versions)", static_cast<int>(TRecordingFileType::Wave));
  fileType_->addItem("MP3 file with tags", static_cast<int>(TRecordingFileType::Tagged));
  fileType_->setToolTip(
      "A file with tags carries the show, station and date, and music libraries, podcast apps and phones "
      "show its length; earlier versions of the program and some old players know only the WAVE file");
  SelectData(fileType_, static_cast<int>(RecordingFileTypeChoice()));

  auto* form = new QFormLayout;
  form->addRow("File type:", fileType_);
  form->addRow("Rate control:", rateControl_);
  form->addRow("Bitrate:", bitrate_);
  form->addRow("VBR quality:", vbrQuality_);
  form->addRow("Mode:", mode_);
  form->addRow("Sample rate:", sampleRate_);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  ok_->setObjectName("OkButton");
  cancel_ = buttons->button(QDialogButtonBox::Cancel);
  cancel_->setObjectName("CancelButton");
  connect(buttons, &QDialogButtonBox::accepted, this, &TMp3ConfigDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &TMp3ConfigDialog::reject);

  warning_ = new QLabel(this);
  warning_->setObjectName("QualityWarning");
  warning_->setWordWrap(true);
  warning_->setStyleSheet("color: #a04000;");
  warning_->hide();

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(warning_);
  layout->addWidget(buttons);

  ShowSettings(LoadEncoderSettings(path_));
  connect(rateControl_, &QComboBox::currentIndexChanged, this, &TMp3ConfigDialog::UpdateControls);
  connect(sampleRate_, &QComboBox::currentIndexChanged, this, &TMp3ConfigDialog::UpdateControls);
  connect(bitrate_, &QComboBox::currentIndexChanged, this, &TMp3ConfigDialog::UpdateControls);
}

void TMp3ConfigDialog::SelectBitrate(int kbps) {
  int index = bitrate_->findData(kbps);
  if (index < 0) {
    // An average bitrate off the list (the file may hold any from 8 to 320)
    // is shown as it is rather than silently changed.
    index = 0;
    while (index < bitrate_->count() && bitrate_->itemData(index).toInt() < kbps) ++index;
    bitrate_->insertItem(index, QString("%1 kbit/s").arg(kbps), kbps);
  }
  bitrate_->setCurrentIndex(index);
}

void TMp3ConfigDialog::ShowSettings(const TEncoderSettings& settings) {
  SelectData(rateControl_, static_cast<int>(settings.RateControl));
  SelectBitrate(settings.Bitrate);
  vbrQuality_->setValue(settings.VbrQuality);
  SelectData(mode_, static_cast<int>(settings.Mode));
  SelectData(sampleRate_, settings.SampleRate);
  UpdateControls();
}

// Greys out what does not apply: the bitrate under VBR, the quality under
// CBR and ABR, and bitrates the chosen sample rate cannot carry. A choice
// the encoder cannot make as it stands is said under the controls rather
// than left for the file to differ: a bitrate above what the rate carries
// is lowered, and the note says from what.
void TMp3ConfigDialog::UpdateControls() {
  if (updating_) return;
  updating_ = true;
  const bool vbr = DataAt(rateControl_) == static_cast<int>(TRateControl::Vbr);
  bitrate_->setEnabled(!vbr);
  vbrQuality_->setEnabled(vbr);

  const TMp3Plan plan = PlanMp3(Chosen());
  const int max = MaxBitrateFor(DataAt(sampleRate_));
  auto* model = qobject_cast<QStandardItemModel*>(bitrate_->model());
  for (int i = 0; i < bitrate_->count(); ++i) {
    const bool allowed = bitrate_->itemData(i).toInt() <= max;
    if (model) model->item(i)->setEnabled(allowed);
  }
  if (plan.Bitrate > 0 && plan.Bitrate != DataAt(bitrate_) && bitrate_->findData(plan.Bitrate) >= 0)
    SelectData(bitrate_, plan.Bitrate);
  warning_->setText(QString::fromStdString(plan.Warning));
  warning_->setVisible(!plan.Warning.empty());
  updating_ = false;
}

TEncoderSettings TMp3ConfigDialog::Chosen() const {
  TEncoderSettings s;
  s.RateControl = static_cast<TRateControl>(DataAt(rateControl_));
  s.Bitrate = DataAt(bitrate_);
  s.VbrQuality = vbrQuality_->value();
  s.Mode = static_cast<TChannelMode>(DataAt(mode_));
  s.SampleRate = DataAt(sampleRate_);
  return s;
}

TRecordingFileType TMp3ConfigDialog::ChosenFileType() const {
  return static_cast<TRecordingFileType>(DataAt(fileType_));
}

void TMp3ConfigDialog::accept() {
  if (!SaveEncoderSettings(path_, Chosen())) {
    const QString text = QString::fromStdString("Unable to write to " + path_);
    std::fprintf(stderr, "wavecrate: %s\n", text.toLocal8Bit().constData());
    QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box.exec();
    return;
  }
  SetRecordingFileTypeChoice(ChosenFileType());
  QDialog::accept();
}

bool ExecMp3ConfigDialog() {
  // Without an encoder there are no settings to offer: nothing is shown.
  if (!Mp3EncoderAvailable()) return false;
  TMp3ConfigDialog dialog(DefaultEncoderSettingsPath());
  dialog.move(0, 0);
  dialog.exec();
  return true;
}

}  // namespace wavecrate
