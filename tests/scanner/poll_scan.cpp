#include "scanner/poll_scan.h"

#include <gtest/gtest.h>

std::string PollScan(TargetScanner& scanner, const char* name, int ticks) {
  EXPECT_EQ(scanner.Start(name), 1);
  char out[platform::kPathBuffer];
  for (int tick = 0; tick < ticks; ++tick) {
    const bool running = scanner.running();
    if (scanner.CopyFoundPath(out)) {
      scanner.Stop();
      return out;
    }
    if (!running) break;
    platform::SleepMilliseconds(10);
  }
  scanner.Stop();
  return "";
}
