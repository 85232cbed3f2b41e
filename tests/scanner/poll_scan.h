// A scan run to its end the way the main dialog runs one.
#ifndef PATCHER_TESTS_SCANNER_POLL_SCAN_H
#define PATCHER_TESTS_SCANNER_POLL_SCAN_H

#include <string>

#include "scanner/target_scanner.h"

// Starts a scan for `name` and polls it as the dialog does (the running flag
// first, then the found path) every 10 ms, at most `ticks` times; the found
// path, or "" when the scan ended without one or never did.
std::string PollScan(TargetScanner& scanner, const char* name = "Vusk.exe", int ticks = 1000);

#endif  // PATCHER_TESTS_SCANNER_POLL_SCAN_H
