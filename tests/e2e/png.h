// A minimal PNG writer for the driver's screenshots: 8-bit RGB, no
// filtering, one deflate block with the fixed codes (no compression library
// needed), which a screenshot's flat areas shrink to a few dozen KB.
#ifndef PATCHER_TESTS_E2E_PNG_H
#define PATCHER_TESTS_E2E_PNG_H

#include <stdint.h>

#include <string>
#include <vector>

bool WritePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);

#endif  // PATCHER_TESTS_E2E_PNG_H
