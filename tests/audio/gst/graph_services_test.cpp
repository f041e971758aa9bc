// Graph services that the capture and conversion build on: the device list,
// the encoder bin and its settings, stopping graphs with a bounded wait.
#include "audio/gst/GraphServices.h"

#include <gtest/gtest.h>

#include <chrono>

#include "audio/gst/WavDestFilter.h"
#include "support/TempDir.h"

namespace wavecrate {
namespace {

using namespace std::chrono_literals;

// Runs with or without a sound server: every listed device has a name and
// makes a source element; indexes outside the list give nothing.
TEST(SysDevEnum, EveryListedDeviceHasANameAndASourceAndOutOfRangeGivesNone) {
  TSysDevEnum devices("Audio/Source");
  for (int i = 0; i < devices.Count(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(devices.FriendlyName(i).empty());
    EXPECT_NE(devices.Device(i), nullptr);
    TGstPtr<GstElement> e = devices.CreateElement(i, "Source");
    ASSERT_TRUE(e);
    EXPECT_STREQ(GST_ELEMENT_NAME(e.get()), "Source");
  }
  for (int i : {-1, devices.Count(), devices.Count() + 5}) {
    EXPECT_EQ(devices.FriendlyName(i), "");
    EXPECT_EQ(devices.Device(i), nullptr);
    EXPECT_FALSE(devices.CreateElement(i));
  }
  // A list built from another keeps its order.
  TSysDevEnum copy(devices.Devices());
  ASSERT_EQ(copy.Count(), devices.Count());
  for (int i = 0; i < copy.Count(); ++i) EXPECT_EQ(copy.FriendlyName(i), devices.FriendlyName(i));
}

TEST(Mp3EncoderBin, TakesItsSettingsFromTheSettingsRecord) {
  TEncoderSettings s;
  s.RateControl = TRateControl::Vbr;
  s.VbrQuality = 3;
  s.Mode = TChannelMode::Mono;
  TGstPtr<GstElement> bin = CreateMp3Encoder(s, "MP3");
  ASSERT_TRUE(bin);
  EXPECT_STREQ(GST_ELEMENT_NAME(bin.get()), "MP3");
  TGstPtr<GstPad> sink = AdoptGst(gst_element_get_static_pad(bin.get(), "sink"));
  TGstPtr<GstPad> src = AdoptGst(gst_element_get_static_pad(bin.get(), "src"));
  EXPECT_TRUE(sink && src);
  GstElement* lame = nullptr;
  GstIterator* it = gst_bin_iterate_elements(GST_BIN(bin.get()));
  TGstIteratorPtr guard(it);
  GValue item = G_VALUE_INIT;
  while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
    auto* e = GST_ELEMENT(g_value_get_object(&item));
    if (g_str_equal(GST_OBJECT_NAME(gst_element_get_factory(e)), "lamemp3enc")) lame = e;
    g_value_reset(&item);
  }
  g_value_unset(&item);
  ASSERT_NE(lame, nullptr);
  gint target = -1;
  gfloat quality = 0;
  gboolean mono = FALSE;
  g_object_get(lame, "target", &target, "quality", &quality, "mono", &mono, nullptr);
  EXPECT_EQ(target, 0);  // quality
  EXPECT_FLOAT_EQ(quality, 3.0f);
  EXPECT_TRUE(mono);
}

// A graph whose source never ends and never answers EOS (a live source that
// produces nothing until PLAYING, held in PAUSED) must not hang Stop.
TEST(Graph, StopWaitsABoundedTimeForEndOfStream) {
  test::TempDir dir;
  TGraph graph("blocked");
  TGstPtr<GstElement> src = MakeElement("audiotestsrc");
  g_object_set(src.get(), "is-live", TRUE, nullptr);
  TGstPtr<GstElement> valve = MakeElement("valve");
  g_object_set(valve.get(), "drop", TRUE, "drop-mode", 0 /* drop all, events too */, nullptr);
  TGstPtr<GstElement> sink = MakeElement("fakesink");
  g_object_set(sink.get(), "async", FALSE, nullptr);
  ASSERT_TRUE(graph.AddAndLink({&src, &valve, &sink}));
  ASSERT_TRUE(graph.Run(1s));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(graph.Stop(700ms));  // the valve swallows the EOS
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 600ms);
  EXPECT_LT(took, 5s);
  GstState state = GST_STATE_VOID_PENDING;
  gst_element_get_state(graph.Pipeline(), &state, nullptr, 0);
  EXPECT_EQ(state, GST_STATE_NULL);
}

TEST(Graph, RunReportsAnErrorInsteadOfHanging) {
  TGraph graph("broken");
  TGstPtr<GstElement> src = MakeElement("filesrc");
  g_object_set(src.get(), "location", "/nonexistent/wavecrate/none.wav", nullptr);
  TGstPtr<GstElement> sink = MakeElement("fakesink");
  ASSERT_TRUE(graph.AddAndLink({&src, &sink}));
  std::string error;
  EXPECT_FALSE(graph.Run(5s, &error));
  EXPECT_NE(error.find("none.wav"), std::string::npos) << error;
  EXPECT_TRUE(graph.Stop(1s));  // a graph that never started stops at once
}

TEST(WavDestRegistration, IsIdempotentAndOnlyInThisProcess) {
  EXPECT_TRUE(RegisterWavDestFilter());
  EXPECT_TRUE(RegisterWavDestFilter());
  TGstPtr<GstElementFactory> factory = AdoptGst(gst_element_factory_find(kWavDestElementName));
  ASSERT_TRUE(factory);
  GstPlugin* plugin = gst_plugin_feature_get_plugin(GST_PLUGIN_FEATURE(factory.get()));
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(gst_plugin_get_filename(plugin), nullptr);  // static: no file on disk
  gst_object_unref(plugin);
  TGstPtr<GstElement> a = CreateWavDestFilter(), b = CreateWavDestFilter();
  EXPECT_TRUE(a && b && a.get() != b.get());
}

}  // namespace
}  // namespace wavecrate
