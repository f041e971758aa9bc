// "Recording Quality" as a user meets it: opened from the Options menu of a
// real offscreen window, over the encoder's real settings file beside this
// test program, read back by the encoder the next recording makes.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>

#include "app/qt/MainForm.h"
#include "app/qt/Mp3ConfigDialog.h"
#include "audio/gst/GraphServices.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// The encoder's settings file is the one every encoder reads; whatever it
// held before the test is put back afterwards.
class EncoderFileGuard {
 public:
  EncoderFileGuard() : path_(DefaultEncoderSettingsPath()), existed_(std::filesystem::exists(path_)) {
    if (existed_) before_ = ReadFile(path_);
  }
  ~EncoderFileGuard() {
    std::error_code ec;
    if (existed_) {
      WriteFile(path_, before_);
    } else {
      std::filesystem::remove(path_, ec);
    }
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  bool existed_;
  std::string before_;
};

// Plays the user's part while a modal dialog runs: each time the quality
// dialog is the active modal window, the next step runs on it; message boxes
// are answered and remembered. Steps must not block (click through a queued
// call), since a click that opens a box runs a loop of its own.
class DialogDriver {
 public:
  DialogDriver() {
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        Messages.push_back(box->text());
        box->accept();
      } else if (auto* dialog = qobject_cast<TMp3ConfigDialog*>(modal); dialog && !Steps.empty()) {
        ++DialogsSeen;
        auto step = std::move(Steps.front());
        Steps.pop_front();
        step(*dialog);
      }
    });
    timer_.start();
  }
  std::deque<std::function<void(TMp3ConfigDialog&)>> Steps;
  std::vector<QString> Messages;
  int DialogsSeen = 0;

 private:
  QTimer timer_;
};

template <typename T>
T* Control(QWidget& dialog, const char* name) {
  T* w = dialog.findChild<T*>(name);
  EXPECT_NE(w, nullptr) << "no control named " << name;
  return w;
}

void Click(QWidget& dialog, const char* button) {
  QTimer::singleShot(0, Control<QPushButton>(dialog, button), &QPushButton::click);
}

void Pick(QWidget& dialog, const char* combo, int value) {
  QComboBox* box = Control<QComboBox>(dialog, combo);
  const int index = box->findData(value);
  ASSERT_GE(index, 0) << combo << " offers no " << value;
  box->setCurrentIndex(index);
}

int LameBitrate(const TGstPtr<GstElement>& encoderBin) {
  GstIterator* it = gst_bin_iterate_all_by_element_factory_name(GST_BIN(encoderBin.get()), "lamemp3enc");
  TGstIteratorPtr guard(it);
  GValue item = G_VALUE_INIT;
  int kbps = -1;
  if (gst_iterator_next(it, &item) == GST_ITERATOR_OK)
    g_object_get(g_value_get_object(&item), "bitrate", &kbps, nullptr);
  g_value_unset(&item);
  return kbps;
}

QAction* QualityCommand(TForm1& form) {
  QAction* action = form.findChild<QAction*>("MP31");
  EXPECT_NE(action, nullptr);
  return action;
}

TEST(Mp3ConfigDialog, ShowsTheFileAndOkWritesWhatEveryLaterEncoderUses) {
  EncoderFileGuard file;
  // The test program is a portable copy: the encoder's file sits beside it.
  EXPECT_EQ(std::filesystem::path(file.Path()),
            std::filesystem::read_symlink("/proc/self/exe").parent_path() / "mp3encoder.ini");
  WriteFile(file.Path(),
            "[Encoder]\nRateControl=CBR\nBitrate=128\nVbrQuality=2\nMode=Mono\nSampleRate=22050\n");
  TempDir dir;
  TForm1 form(TAppPaths::ForExecutable(dir.File("wavecrate")), nullptr);
  TGstPtr<GstElement> running = CreateMp3Encoder();  // a recording already under way
  ASSERT_EQ(LameBitrate(running), 128);
  int ticks = 0;
  QTimer beat;  // a timer of the window's thread, like the playback timers
  beat.setInterval(200);
  QObject::connect(&beat, &QTimer::timeout, [&] { ++ticks; });
  beat.start();

  DialogDriver user;
  user.Steps.push_back([&ticks](TMp3ConfigDialog& d) {
    ticks = 0;
    EXPECT_EQ(d.windowTitle(), "MP3 encoding config");
    EXPECT_EQ(Control<QComboBox>(d, "RateControl")->currentData().toInt(),
              static_cast<int>(TRateControl::Cbr));
    EXPECT_EQ(Control<QComboBox>(d, "Bitrate")->currentData().toInt(), 128);
    EXPECT_EQ(Control<QSpinBox>(d, "VbrQuality")->value(), 2);
    EXPECT_EQ(Control<QComboBox>(d, "Mode")->currentData().toInt(), static_cast<int>(TChannelMode::Mono));
    EXPECT_EQ(Control<QComboBox>(d, "SampleRate")->currentData().toInt(), 22050);
    EXPECT_EQ(Control<QComboBox>(d, "FileType")->currentText(), "MP3 in a WAVE file (as earlier versions)");
    Pick(d, "FileType", static_cast<int>(TRecordingFileType::Tagged));
    EXPECT_FALSE(Control<QSpinBox>(d, "VbrQuality")->isEnabled()) << "no quality target under CBR";
    // 22.05 kHz carries at most 160 kbit/s: higher rates are greyed out.
    QComboBox* bitrate = Control<QComboBox>(d, "Bitrate");
    const auto enabled = [bitrate](int kbps) {
      return bitrate->model()->flags(bitrate->model()->index(bitrate->findData(kbps), 0)) & Qt::ItemIsEnabled;
    };
    EXPECT_TRUE(enabled(160));
    EXPECT_FALSE(enabled(192));
    Pick(d, "RateControl", static_cast<int>(TRateControl::Vbr));
    EXPECT_FALSE(bitrate->isEnabled());
    EXPECT_TRUE(Control<QSpinBox>(d, "VbrQuality")->isEnabled());
    Pick(d, "RateControl", static_cast<int>(TRateControl::Cbr));
    Pick(d, "SampleRate", 44100);
    EXPECT_TRUE(enabled(192));
    Pick(d, "Bitrate", 192);
    // A rate that cannot carry the bitrate chosen: the dialog says so, and
    // shows the bitrate the file will have.
    QLabel* warning = Control<QLabel>(d, "QualityWarning");
    EXPECT_FALSE(warning->isVisibleTo(&d));
    Pick(d, "SampleRate", 22050);
    EXPECT_TRUE(warning->isVisibleTo(&d));
    EXPECT_EQ(warning->text(),
              "At 22,050 Hz an MP3 file holds at most 160 kbit/s: it will have 160 kbit/s, not 192.");
    EXPECT_EQ(bitrate->currentData().toInt(), 160);
    Pick(d, "SampleRate", 44100);
    Pick(d, "Bitrate", 192);
    EXPECT_FALSE(warning->isVisibleTo(&d));
  });
  // The user takes a moment, during which the window's timers must go on
  // ticking; then OK.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::function<void(TMp3ConfigDialog&)> waitThenOk = [&](TMp3ConfigDialog& d) {
    if (ticks >= 2 || std::chrono::steady_clock::now() > deadline) {
      Click(d, "OkButton");
    } else {
      user.Steps.push_front(waitThenOk);
    }
  };
  user.Steps.push_back(waitThenOk);
  ASSERT_EQ(RecordingFileTypeChoice(), TRecordingFileType::Wave);
  QualityCommand(form)->trigger();

  EXPECT_TRUE(user.Steps.empty()) << "the dialog closed before the user was done";
  // The file type: for the next recordings at once, and in the program's
  // settings at their next write (the encoder's file has no place for it).
  EXPECT_EQ(RecordingFileTypeChoice(), TRecordingFileType::Tagged);
  EXPECT_EQ(form.Controller().CurrentSettings().FileType, TRecordingFileType::Tagged);
  EXPECT_EQ(ReadFile(file.Path()).find("FileType"), std::string::npos);
  EXPECT_GE(ticks, 2) << "the window's timers stood still while the dialog was open";
  TEncoderSettings expected;
  expected.Bitrate = 192;
  expected.VbrQuality = 2;
  expected.Mode = TChannelMode::Mono;
  expected.SampleRate = 44100;
  EXPECT_EQ(LoadEncoderSettings(file.Path()), expected);
  EXPECT_EQ(LameBitrate(CreateMp3Encoder()), 192) << "the next encoder must read the new file";
  EXPECT_EQ(LameBitrate(running), 128) << "a running recording keeps its encoder";
  EXPECT_FALSE(std::filesystem::exists(form.Paths().SettingsPath))
      << "the program's settings file is not touched";
  SetRecordingFileTypeChoice(TRecordingFileType::Wave);  // as the other tests of this process expect
}

TEST(Mp3ConfigDialog, CancelAndAFailedWriteLeaveTheFileAsItWas) {
  EncoderFileGuard file;
  ASSERT_TRUE(SaveEncoderSettings(file.Path(), TEncoderSettings{}));
  const std::string before = ReadFile(file.Path());
  TempDir dir;
  TForm1 form(TAppPaths::ForExecutable(dir.File("wavecrate")), nullptr);
  DialogDriver user;
  user.Steps.push_back([](TMp3ConfigDialog& d) {
    Pick(d, "Bitrate", 64);
    Pick(d, "FileType", static_cast<int>(TRecordingFileType::Tagged));
    Click(d, "CancelButton");
  });
  QualityCommand(form)->trigger();
  EXPECT_EQ(user.DialogsSeen, 1);
  EXPECT_EQ(ReadFile(file.Path()), before);
  EXPECT_EQ(RecordingFileTypeChoice(), TRecordingFileType::Wave);

  // The new file cannot be written (the disk is full, which stops root too):
  // the user is told where, and may still cancel.
  user.Steps.push_back([](TMp3ConfigDialog& d) {
    Pick(d, "Bitrate", 64);
    Click(d, "OkButton");
  });
  user.Steps.push_back([](TMp3ConfigDialog& d) { Click(d, "CancelButton"); });
  {
    const test::FileSizeLimit full(16);
    QualityCommand(form)->trigger();
  }
  ASSERT_EQ(user.Messages.size(), 1u);
  EXPECT_EQ(user.Messages[0], QString::fromStdString("Unable to write to " + file.Path()));
  EXPECT_EQ(ReadFile(file.Path()), before);
  EXPECT_EQ(LameBitrate(CreateMp3Encoder()), 128);
}

TEST(Mp3ConfigDialog, NothingIsShownWhenNoEncoderCanBeMade) {
  TempDir dir;
  TForm1 form(TAppPaths::ForExecutable(dir.File("wavecrate")), nullptr);
  ASSERT_TRUE(EnsureGstInitialized());
  GstRegistry* registry = gst_registry_get();
  TGstPtr<GstPluginFeature> lame = AdoptGst(gst_registry_lookup_feature(registry, "lamemp3enc"));
  ASSERT_TRUE(lame);
  gst_registry_remove_feature(registry, lame.get());
  DialogDriver user;
  user.Steps.push_back([](TMp3ConfigDialog& d) { Click(d, "CancelButton"); });
  QualityCommand(form)->trigger();
  gst_registry_add_feature(registry, lame.get());
  EXPECT_EQ(user.DialogsSeen, 0);
  EXPECT_TRUE(user.Messages.empty());
  EXPECT_TRUE(Mp3EncoderAvailable());
}

}  // namespace
}  // namespace wavecrate
