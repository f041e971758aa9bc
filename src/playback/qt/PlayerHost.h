// A slot's media player as a (never seen) control of the main window: a
// widget outside the client area that owns the GStreamer player.
#pragma once

#include <QWidget>
#include <memory>

#include "playback/gst/WindowsMediaPlayer.h"

namespace wavecrate {

class TPlayerHost : public QWidget {
 public:
  TPlayerHost(const QString& name, QWidget* parent)
      : QWidget(parent), player_(std::make_unique<TWindowsMediaPlayer>()) {
    setObjectName(name);
  }
  TWindowsMediaPlayer& Player() { return *player_; }

 private:
  std::unique_ptr<TWindowsMediaPlayer> player_;
};

}  // namespace wavecrate
