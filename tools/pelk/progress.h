// How pelk shows a download's progress: a bar redrawn in place on a console, a line per change of phase
// (and per tenth of the file) when the output goes elsewhere. Every line fits an 80-column console.
#pragma once

#include <cstdint>
#include <string>

namespace pelk {

// The widest line pelk writes while a download runs: a console of 80 columns wraps at the 80th.
constexpr size_t kLineWidth = 79;

// "512 B", "12.3 KiB", "1.5 MiB", "2.0 GiB".
std::string Bytes(uint64_t bytes);

// "RECEIVING" for PELK_PHASE_RECEIVING; other codes by their whole name ("PELK_E_CONNECTION").
std::string PhaseName(int32_t phase);

// The console's bar: phase, bar, percent, done of total, rate and time left (secondsLeft < 0: unknown),
// cut to kLineWidth and padded to it, so that each redraw covers the one before.
std::string BarLine(int32_t phase, uint64_t done, uint64_t total, double bytesPerSecond, int64_t secondsLeft);

class ProgressView {
 public:
  ProgressView();
  // Shows one poll's outcome.
  void Show(int32_t phase, uint64_t received, uint64_t verified, uint64_t total);
  // Ends the bar's line and prints the time taken.
  void Finish() const;

 private:
  bool console_ = false;
  uint32_t start_ = 0;
  uint32_t firstTick_ = 0;
  uint64_t firstReceived_ = UINT64_MAX;
  int32_t lastPhase_ = 0;
  int lastTenth_ = -1;
};

}  // namespace pelk
