#include "progress.h"

#include <windows.h>
#include <hvpelk/exports.h>

#include <algorithm>
#include <cstdio>

#include "status_names.h"

namespace pelk {
namespace {

constexpr int kBarWidth = 16;

// "42s", "3m05s", "2h07m".
std::string Duration(int64_t seconds) {
  char text[32];
  if (seconds < 60) {
    snprintf(text, sizeof(text), "%llds", static_cast<long long>(seconds));
  } else if (seconds < 3600) {
    snprintf(text, sizeof(text), "%lldm%02llds", static_cast<long long>(seconds / 60),
             static_cast<long long>(seconds % 60));
  } else {
    snprintf(text, sizeof(text), "%lldh%02lldm", static_cast<long long>(seconds / 3600),
             static_cast<long long>(seconds / 60 % 60));
  }
  return text;
}

std::string FitLine(std::string line) {
  line.resize(kLineWidth, ' ');
  return line;
}

}  // namespace

std::string Bytes(uint64_t bytes) {
  char text[32];
  if (bytes >= (1ull << 30)) {
    snprintf(text, sizeof(text), "%.1f GiB", static_cast<double>(bytes) / 1073741824.0);
  } else if (bytes >= (1ull << 20)) {
    snprintf(text, sizeof(text), "%.1f MiB", static_cast<double>(bytes) / 1048576.0);
  } else if (bytes >= 1024) {
    snprintf(text, sizeof(text), "%.1f KiB", static_cast<double>(bytes) / 1024.0);
  } else {
    snprintf(text, sizeof(text), "%llu B", static_cast<unsigned long long>(bytes));
  }
  return text;
}

std::string PhaseName(int32_t phase) {
  const std::string name = LookUpStatus(phase).name;
  const std::string prefix = "PELK_PHASE_";
  return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
}

std::string BarLine(int32_t phase, uint64_t done, uint64_t total, double bytesPerSecond, int64_t secondsLeft) {
  const int percent = total > 0 ? static_cast<int>(std::min<uint64_t>(done, total) * 100 / total) : 0;
  std::string bar(kBarWidth, '-');
  for (int i = 0; i < percent * kBarWidth / 100; ++i) bar[static_cast<size_t>(i)] = '#';
  std::string line = PhaseName(phase) + " [" + bar + "] " + std::to_string(percent) + "% " + Bytes(done) + "/" +
                     (total > 0 ? Bytes(total) : std::string("?")) + " " +
                     Bytes(static_cast<uint64_t>(bytesPerSecond)) + "/s";
  if (secondsLeft >= 0) line += " " + Duration(secondsLeft) + " left";
  return FitLine(line);
}

ProgressView::ProgressView() : start_(GetTickCount()) {
  DWORD mode = 0;
  console_ = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void ProgressView::Show(int32_t phase, uint64_t received, uint64_t verified, uint64_t total) {
  const uint32_t now = GetTickCount();
  if (firstReceived_ == UINT64_MAX && phase == PELK_PHASE_RECEIVING) {
    firstReceived_ = received;
    firstTick_ = now;
  }
  const double seconds = (now - firstTick_) / 1000.0;
  const double rate = (firstReceived_ != UINT64_MAX && seconds > 0 && received >= firstReceived_)
                          ? static_cast<double>(received - firstReceived_) / seconds
                          : 0.0;
  const uint64_t done = phase == PELK_PHASE_VERIFYING ? verified : received;
  const int percent = total > 0 ? static_cast<int>(std::min<uint64_t>(done, total) * 100 / total) : -1;
  if (console_) {
    int64_t left = -1;
    if (total > 0 && received >= total) {
      left = 0;
    } else if (rate > 0 && total > received) {
      left = static_cast<int64_t>(static_cast<double>(total - received) / rate);
    }
    printf("\r%s", BarLine(phase, done, total, rate, left).c_str());
    fflush(stdout);
  } else if (phase != lastPhase_ || (percent >= 0 && percent / 10 != lastTenth_)) {
    char counts[80];
    snprintf(counts, sizeof(counts), " %llu/%llu bytes, verified %llu", static_cast<unsigned long long>(received),
             static_cast<unsigned long long>(total), static_cast<unsigned long long>(verified));
    std::string line = PhaseName(phase) + counts;
    if (line.size() > kLineWidth) line.resize(kLineWidth);
    printf("%s\n", line.c_str());
    fflush(stdout);
    lastTenth_ = percent / 10;
  }
  lastPhase_ = phase;
}

void ProgressView::Finish() const {
  if (console_) printf("\n");
  printf("took %.1f s\n", (GetTickCount() - start_) / 1000.0);
}

}  // namespace pelk
