// A slot's media player as a (never seen) control of the main window: a
// widget outside the client area that owns the GStreamer player, with what
// the window remembers about the slot's current show between timer ticks.
#pragma once

#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <optional>

#include "playback/gst/WindowsMediaPlayer.h"

namespace wavecrate {

class TPlayerHost : public QWidget {
 public:
  TPlayerHost(const QString& name, QWidget* parent)
      : QWidget(parent), player_(std::make_unique<TWindowsMediaPlayer>()) {
    setObjectName(name);
    // While an early connection waits for its capture, the slot is looked at
    // this often, so its sound is let through within milliseconds of the
    // capture's start even where no hook reports the start.
    FastCheck = new QTimer(this);
    FastCheck->setInterval(10);
  }
  TWindowsMediaPlayer& Player() { return *player_; }

  // The volume the stream plays at when heard (the control's 50).
  static constexpr int kAudibleVolume = 50;

  // The player holds an early connection whose sound is held back.
  bool HeldBack = false;
  // The link reached playing in the player during this show: a later
  // failure is an outage, retried as media until the end.
  bool LinkPlayed = false;
  // The link was opened in the slot's page browser during this show.
  bool PageOpened = false;
  // The planned end (UTC seconds) of the recording this player plays for.
  std::optional<std::int64_t> PlannedEndUnix;
  // Runs the slot's tick every 10 ms while HeldBack.
  QTimer* FastCheck = nullptr;

  // A show is over for this player: nothing of it is remembered.
  void ForgetShow() {
    HeldBack = false;
    LinkPlayed = false;
    PageOpened = false;
    PlannedEndUnix.reset();
    FastCheck->stop();
  }

 private:
  std::unique_ptr<TWindowsMediaPlayer> player_;
};

}  // namespace wavecrate
