// The machine's platform, counting the directories a walk enters: each gets
// exactly one probe (remembered directories play no part in a first scan).
// Shared by scan-tree and the scan benchmark.
#ifndef PATCHER_TOOLS_SCAN_TREE_COUNTING_SYSTEM_H
#define PATCHER_TOOLS_SCAN_TREE_COUNTING_SYSTEM_H

#include <atomic>

#include "scanner/scan_system.h"

class CountingSystem : public ScanSystem {
 public:
  int Probe(const char* path, platform::FindData* entry) override {
    entered.fetch_add(1, std::memory_order_relaxed);
    return ScanSystem::Probe(path, entry);
  }
  std::atomic<long> entered{0};
};

#endif  // PATCHER_TOOLS_SCAN_TREE_COUNTING_SYSTEM_H
