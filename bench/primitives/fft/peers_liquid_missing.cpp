// Stand-in for the liquid-dsp peers when libliquid-dev is not installed:
// every peer is empty, so its benchmarks skip with a message.
#include "bench/primitives/fft/peers.h"

namespace spbench {

bool liquidFound() { return false; }
LiquidPeer liquidFirBlock(const std::vector<float>&) { return nullptr; }
LiquidPeer liquidFirSteps(const std::vector<float>&) { return nullptr; }
LiquidPeer liquidFftFir(const std::vector<float>&, int) { return nullptr; }
LiquidPeer liquidDecimator(const std::vector<float>&, int) { return nullptr; }
LiquidPeer liquidInterpolator(const std::vector<float>&, int) { return nullptr; }
LiquidPeer liquidIir(const std::vector<float>&, const std::vector<float>&) { return nullptr; }
LiquidPeer liquidIirSections(const std::vector<float>&, const std::vector<float>&) { return nullptr; }

}  // namespace spbench
