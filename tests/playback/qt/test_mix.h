#pragma once

#include <memory>

namespace wavecrate {
class TStereoMix;
namespace test {
// The stereo mix that main() loaded for this test binary.
extern std::shared_ptr<TStereoMix> g_mix;
}  // namespace test
}  // namespace wavecrate
