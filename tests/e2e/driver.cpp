#include "driver.h"

#include <stdio.h>

#include <vector>

#include "png.h"
#include "support/scratch.h"

const char kMainCaption[] = "Upgrade to VUSK 1.25";

namespace {

struct Search {
  DWORD process;
  const char* caption;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM p) {
  Search* s = reinterpret_cast<Search*>(p);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != s->process || !IsWindowVisible(window)) return TRUE;
  if (WindowTextOf(window) != s->caption) return TRUE;
  s->found = window;
  return FALSE;
}

HWND FindProcessWindow(DWORD process, const char* caption) {
  Search s = {process, caption, nullptr};
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

}  // namespace

std::string WindowTextOf(HWND window) {
  char text[2048] = "";
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                           SMTO_ABORTIFHUNG, 5000, &result))
    return "<no answer>";
  return text;
}

bool WaitUntil(const std::function<bool()>& condition, int ms) {
  for (int waited = 0;; waited += 20) {
    if (condition()) return true;
    if (waited >= ms) return false;
    Sleep(20);
  }
}

PatcherProcess::~PatcherProcess() { Kill(); }

bool PatcherProcess::Start(const std::string& exe) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  std::string command = "\"" + exe + "\"";
  std::vector<char> line(command.begin(), command.end());
  line.push_back(0);
  if (!CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info_))
    return false;
  id_ = info_.dwProcessId;
  main_ = WaitForWindow(kMainCaption, 20000);
  return main_ != nullptr;
}

bool PatcherProcess::Running() const {
  return info_.hProcess && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

HWND PatcherProcess::WaitForWindow(const char* caption, int ms) const {
  HWND found = nullptr;
  WaitUntil([&] { return (found = FindProcessWindow(id_, caption)) != nullptr; }, ms);
  return found;
}

bool PatcherProcess::HasWindow(const char* caption) const {
  return FindProcessWindow(id_, caption) != nullptr;
}

std::string PatcherProcess::Text(int control_id, HWND dialog) const {
  return WindowTextOf(GetDlgItem(dialog ? dialog : main_, control_id));
}

bool PatcherProcess::Enabled(int control_id) const {
  return IsWindowEnabled(GetDlgItem(main_, control_id)) != 0;
}

void PatcherProcess::Click(int control_id, HWND dialog) const {
  HWND d = dialog ? dialog : main_;
  PostMessageA(d, WM_COMMAND, MAKEWPARAM(control_id, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(d, control_id)));
}

void PatcherProcess::Post(UINT message, WPARAM wparam, LPARAM lparam, HWND window) const {
  PostMessageA(window ? window : main_, message, wparam, lparam);
}

int PatcherProcess::WaitForExit(int ms) {
  if (!info_.hProcess) return -1;
  if (WaitForSingleObject(info_.hProcess, ms) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(info_.hProcess, &code);
  return static_cast<int>(code);
}

void PatcherProcess::Kill() {
  if (!info_.hProcess) return;
  if (Running()) {
    TerminateProcess(info_.hProcess, 99);
    WaitForSingleObject(info_.hProcess, 5000);
  }
  CloseHandle(info_.hProcess);
  CloseHandle(info_.hThread);
  info_ = PROCESS_INFORMATION();
  main_ = nullptr;
}

namespace {

BOOL CALLBACK PaintNow(HWND window, LPARAM) {
  if (IsWindowVisible(window))
    RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_FRAME | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
  return TRUE;
}

}  // namespace

bool SaveScreenshot(const std::string& path) {
  // Every window painted first: one that has just opened may not have
  // drawn all its controls yet. Then a moment for the X server to show it.
  EnumWindows(PaintNow, 0);
  Sleep(250);
  const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;  // top-down rows
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (dib) {
    HGDIOBJ old = SelectObject(memory, dib);
    if (BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY)) {
      GdiFlush();
      std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
      const uint8_t* p = static_cast<const uint8_t*>(bits);
      for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i) {
        rgb[i * 3] = p[i * 4 + 2];
        rgb[i * 3 + 1] = p[i * 4 + 1];
        rgb[i * 3 + 2] = p[i * 4];
      }
      ok = WritePng(path, width, height, rgb);
    }
    SelectObject(memory, old);
    DeleteObject(dib);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return ok;
}

namespace {

// A thread that sends a window WM_NULL every `period_ms` until told to
// stop, timing each answer.
struct Pinger {
  HWND window;
  int period_ms;
  LARGE_INTEGER start;  // when the watch began
  volatile LONG stop;
  PatchWatch* watch;    // receives sent, unanswered, longest_ms and slow
};

double SecondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

DWORD WINAPI Ping(void* p) {
  Pinger& ping = *static_cast<Pinger*>(p);
  PatchWatch& watch = *ping.watch;
  while (!ping.stop) {
    DWORD_PTR answer = 0;
    const double sent = SecondsSince(ping.start);
    if (!SendMessageTimeoutA(ping.window, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &answer))
      ++watch.unanswered;
    const double waited = 1000.0 * (SecondsSince(ping.start) - sent);
    ++watch.sent;
    if (waited > watch.longest_ms) watch.longest_ms = waited;
    if (waited > 50) watch.slow.push_back({sent, waited});
    Sleep(ping.period_ms);
  }
  return 0;
}

}  // namespace

PatchWatch WatchPatch(const PatcherProcess& patcher, int path_id, int period_ms, int ms,
                      const std::function<void(const std::string&)>& on_path) {
  // The pinger fills sent, unanswered, longest_ms and slow; this thread
  // the rest, read only once the pinger has ended.
  PatchWatch watch;
  Pinger ping = {patcher.main(), period_ms, {}, 0, &watch};
  QueryPerformanceCounter(&ping.start);
  HANDLE pinger = CreateThread(nullptr, 0, Ping, &ping, 0, nullptr);
  const DWORD start = GetTickCount();
  for (;;) {
    const std::string text = patcher.Text(path_id);
    if (watch.paths.empty() || watch.paths.back().text != text) {
      watch.paths.push_back({text, 0, SecondsSince(ping.start)});
      if (on_path) on_path(text);
    }
    ++watch.paths.back().polls;
    if ((watch.result = FindProcessWindow(patcher.id(), "Patch Successful!"))) {
      watch.succeeded = true;
      break;
    }
    if ((watch.result = FindProcessWindow(patcher.id(), "Error!"))) break;
    if (static_cast<int>(GetTickCount() - start) > ms || !patcher.Running()) break;
    Sleep(period_ms);
  }
  ping.stop = 1;
  if (pinger) {
    WaitForSingleObject(pinger, INFINITE);
    CloseHandle(pinger);
  } else {
    watch.unanswered = 1;  // nothing was asked: no answer to count on
  }
  return watch;
}

PatchWatch WatchIdle(const PatcherProcess& patcher, int period_ms, int ms) {
  PatchWatch watch;
  Pinger ping = {patcher.main(), period_ms, {}, 0, &watch};
  QueryPerformanceCounter(&ping.start);
  HANDLE pinger = CreateThread(nullptr, 0, Ping, &ping, 0, nullptr);
  if (!pinger) return watch;
  Sleep(ms);
  ping.stop = 1;
  WaitForSingleObject(pinger, INFINITE);
  CloseHandle(pinger);
  return watch;
}

bool CopyTree(const std::string& from, const std::string& to) {
  CreateDirectoryA(to.c_str(), nullptr);
  WIN32_FIND_DATAA data;
  HANDLE h = FindFirstFileA((from + "\\*").c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  do {
    std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ok = CopyTree(from + "\\" + name, to + "\\" + name) && ok;
    else
      ok = CopyFileA((from + "\\" + name).c_str(), (to + "\\" + name).c_str(), FALSE) && ok;
  } while (FindNextFileA(h, &data));
  FindClose(h);
  return ok;
}

bool SameBytes(const std::string& a, const std::string& b) {
  std::vector<uint8_t> x, y;
  return ReadFileBytes(a, &x) && ReadFileBytes(b, &y) && x == y;
}
