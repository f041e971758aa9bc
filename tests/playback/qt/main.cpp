// Web view tests: the program's stereo mix is loaded before Qt WebEngine
// starts, exactly as at program start, so that pages play into it.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <memory>

#include "audio/gst/GraphServices.h"
#include "audio/gst/WavDestFilter.h"
#include "audio/pulse/StereoMix.h"
#include "test_mix.h"

namespace wavecrate::test {
std::shared_ptr<TStereoMix> g_mix;
}

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
  wavecrate::EnsureGstInitialized();
  wavecrate::RegisterWavDestFilter();
  wavecrate::test::g_mix = std::make_shared<wavecrate::TStereoMix>();
  wavecrate::test::g_mix->Start();
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int rc = RUN_ALL_TESTS();
  wavecrate::test::g_mix->Stop();
  return rc;
}
