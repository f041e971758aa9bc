// What the player tests share: a GLib main loop to turn, a null sink of
// their own in the private PulseAudio, and a listener on its monitor.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace wavecrate::test {

// The null sink that PULSE_SINK points the player at ("" when none could be
// made: no sound server).
const std::string& PlayerTestSink();

// Iterates the default main context until done() or the time-out; returns
// done()'s last value.
bool RunMainLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
void RunMainLoopFor(std::chrono::milliseconds duration);

// What reached the test sink during the given time (the main loop keeps
// turning meanwhile).
struct TSinkListening {
  double Rms = 0;           // of the parts with sound; mono, full scale 1.0
  double FrequencyHz = 0;   // of the parts with sound, from zero crossings
  double SoundSeconds = 0;  // how much of it held sound
  double SecondsHeard = 0;  // length of audio captured
};
TSinkListening ListenToSink(std::chrono::milliseconds duration);
// Listens until sound reaches the sink or the time-out passes.
bool WaitForSound(std::chrono::milliseconds timeout);

}  // namespace wavecrate::test
