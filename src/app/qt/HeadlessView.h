// The schedule without a window: the settings file's values held as they
// were loaded, and messages written to the log.
#pragma once

#include "app/qt/MainController.h"

namespace wavecrate {

class THeadlessView final : public IScheduleView {
 public:
  TSettings ReadControls() const override { return settings_; }
  void LoadIntoControls(const TSettings& settings) override { settings_ = settings; }
  void ShowWindow() override {}
  void ShowMessage(const std::string& text) override;

 private:
  TSettings settings_;
};

}  // namespace wavecrate
