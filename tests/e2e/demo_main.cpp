// `make demo` without a display: runs the patcher in the demo prefix and
// drives it through the main job, Scan, Patch, OK, telling each step.
// Usage: demo_driver PATCHER SCREENSHOT_DIR
#include <windows.h>
#include <stdio.h>

#include <string>

#include "driver.h"

namespace {

int Fail(const char* what, PatcherProcess& patcher, const std::string& shots) {
  SaveScreenshot(shots + "\\failed.png");
  printf("demo: %s (screenshot failed.png)\n", what);
  patcher.Kill();
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    printf("usage: demo_driver PATCHER SCREENSHOT_DIR\n");
    return 2;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  const std::string shots = argv[2];
  CreateDirectoryA(shots.c_str(), nullptr);
  PatcherProcess patcher;
  printf("  starting %s\n", argv[1]);
  if (!patcher.Start(argv[1])) return Fail("the main dialog did not open", patcher, shots);
  SaveScreenshot(shots + "\\1-open.png");

  printf("  pressing \"%s\"\n", patcher.Text(1001).c_str());
  patcher.Click(1001);
  std::string last;
  const bool found = WaitUntil([&] {
    std::string shown = patcher.Text(1003);
    if (!shown.empty() && shown != last) {
      last = shown;
      if (shown.back() == '\\') printf("    scanning %s\n", shown.c_str());
    }
    return patcher.Text(1001) == "Scan..." && patcher.Text(1003).find(".exe") != std::string::npos;
  }, 90000);
  if (!found) return Fail("the scan did not find Vusk.exe", patcher, shots);
  printf("  found %s\n", patcher.Text(1003).c_str());
  SaveScreenshot(shots + "\\2-found.png");

  printf("  pressing \"Patch\"\n");
  patcher.Click(1004);
  HWND done = patcher.WaitForWindow("Patch Successful!", 60000);
  if (!done) {
    if (patcher.HasWindow("Error!")) return Fail("the patch failed", patcher, shots);
    return Fail("no result came", patcher, shots);
  }
  printf("  result: \"Patch Successful!\" - %s\n", patcher.Text(1007, done).c_str());
  SaveScreenshot(shots + "\\3-success.png");
  printf("  pressing \"OK\"\n");
  patcher.Click(IDOK, done);
  const int code = patcher.WaitForExit();
  printf("  the patcher ended with exit code %d\n", code);
  return code == 1 ? 0 : 1;
}
