// "Recording Quality": the MP3 encoder's settings as a modal dialog captioned
// "MP3 encoding config". It shows what the encoder's settings file holds and
// the file type of new recordings; OK writes the encoder's file (every
// encoder made afterwards reads it; a recording that is already running keeps
// its encoder) and sets the file type (the program's settings file keeps it
// at its next write), Cancel changes nothing.
#pragma once

#include <QDialog>
#include <string>

#include "audio/EncoderSettings.h"
#include "audio/RecordingFile.h"

class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace wavecrate {

class TMp3ConfigDialog : public QDialog {
  Q_OBJECT
 public:
  // Reads the settings at `settingsPath` into the controls.
  explicit TMp3ConfigDialog(std::string settingsPath, QWidget* parent = nullptr);

  // The controls as settings. Values of controls that are greyed out for the
  // current rate control are kept, so switching back finds them again.
  TEncoderSettings Chosen() const;
  TRecordingFileType ChosenFileType() const;
  const std::string& SettingsPath() const { return path_; }

 public slots:
  // Writes the settings file, then closes. A failed write is shown with the
  // file's path; the dialog stays open and the old file stays as it was.
  void accept() override;

 private:
  void ShowSettings(const TEncoderSettings& settings);
  void SelectBitrate(int kbps);
  void UpdateControls();

  std::string path_;
  QComboBox* fileType_ = nullptr;
  QComboBox* rateControl_ = nullptr;
  QComboBox* bitrate_ = nullptr;
  QSpinBox* vbrQuality_ = nullptr;
  QComboBox* mode_ = nullptr;
  QComboBox* sampleRate_ = nullptr;
  // What the encoder will make differently from the choice, and why; hidden
  // while it makes what was chosen.
  QLabel* warning_ = nullptr;
  bool updating_ = false;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

// The "Recording Quality" command: shows the dialog modally over the
// encoder's settings file (DefaultEncoderSettingsPath()), with no owner
// window, at the screen's top left corner. The event loop runs meanwhile, so
// the window's timers keep ticking. Shows nothing and returns false when no
// MP3 encoder can be made; true once the dialog has been closed.
bool ExecMp3ConfigDialog();

}  // namespace wavecrate
