// The advertisement step's arithmetic and rules, without any media.
#include "scheduler/Ad.h"

#include <gtest/gtest.h>

namespace wavecrate {
namespace {

TEST(AdTimeline, ClipThenRecordingInHundredNanosecondUnits) {
  // 30 s of clip and an hour of recording make 3,630 s.
  const TAdTimeline t = PlanAdTimeline(30.0, 3600.0);
  EXPECT_EQ(t.AdStart, 0);
  EXPECT_EQ(t.AdStop, 300'000'000);
  EXPECT_EQ(t.RecordingStart, 300'000'000);
  EXPECT_EQ(t.RecordingStop, 36'300'000'000);
  EXPECT_EQ(RefTimeToNanoseconds(t.RecordingStop), 3'630'000'000'000);

  // Each length is rounded to the nearest unit on its own; halves go up.
  EXPECT_EQ(SecondsToRefTime(3.03020408), 30'302'041);
  EXPECT_EQ(SecondsToRefTime(1.00000004), 10'000'000);
  EXPECT_EQ(SecondsToRefTime(1.00000006), 10'000'001);
  EXPECT_EQ(SecondsToRefTime(0.00000005), 1);
  const TAdTimeline odd = PlanAdTimeline(0.00000004, 0.00000004);
  EXPECT_EQ(odd.AdStop, 0);
  EXPECT_EQ(odd.RecordingStop, 0);
}

TEST(AdRules, ClipLengthBounds) {
  // Unreadable files, silent ones and the download rules are met with real
  // files in the platform tests; the bounds themselves are checked here.
  const TAdLimits limits;
  TMediaFacts clip;
  clip.Readable = true;
  clip.AudioStreams = 1;
  for (double seconds : {0.5, 600.0}) {
    clip.Seconds = seconds;
    EXPECT_EQ(JudgeAdClip(clip, limits), "") << seconds;
  }
  for (double seconds : {0.0, 0.49, 600.01}) {
    clip.Seconds = seconds;
    EXPECT_NE(JudgeAdClip(clip, limits), "") << seconds;
  }
  clip.Seconds = 0;
  EXPECT_NE(JudgeRecording(clip), "");
}

}  // namespace
}  // namespace wavecrate
