// The demo release as the patcher's tests use it: each vusk.exe reports its
// own version and those of the two DLLs it was loaded with, so a folder
// holding old and new files shows the mix.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/scratch.h"

namespace {

const std::string kNew = DEMO_RELEASE_VERSION;
const std::string kOld = DEMO_INSTALL_VERSION;

// c:\demo-test\<version>\, copied there by the build.
std::string Folder(const std::string& version) {
  return std::string("c:\\") + DEMO_TEST_FOLDER + "\\" + version + "\\";
}

std::string Line(const std::string& exe, const std::string& core, const std::string& text) {
  return "Tessaline " + exe + " (core " + core + ", text " + text + ")\r\n";
}

struct Outcome {
  bool started = false;
  bool ended = false;
  DWORD exit_code = 0;
  std::string out;  // everything written to stdout
};

// Starts `exe` with stdout on a pipe, from c:\ (not its own folder, so its
// DLLs are found beside it, as the loader looks first there).
Outcome RunProgram(const std::string& exe) {
  Outcome run;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end, write_end;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return run;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = write_end;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process;
  std::string command = "\"" + exe + "\"";
  run.started = CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                               "c:\\", &startup, &process) != 0;
  CloseHandle(write_end);
  if (run.started) {
    // The line fits the pipe's buffer, so the program never blocks on it.
    run.ended = WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0;
    if (!run.ended) TerminateProcess(process.hProcess, 99);
    GetExitCodeProcess(process.hProcess, &run.exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    char chunk[256];
    DWORD got;
    while (ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) && got > 0)
      run.out.append(chunk, got);
  }
  CloseHandle(read_end);
  return run;
}

void ExpectReports(const std::string& exe, const std::string& line) {
  Outcome run = RunProgram(exe);
  ASSERT_TRUE(run.started) << exe << ": error " << GetLastError();
  ASSERT_TRUE(run.ended) << exe;
  EXPECT_EQ(run.exit_code, 0u) << exe;
  EXPECT_EQ(run.out, line) << exe;
}

bool Copy(const std::string& from, const std::string& to) {
  return CopyFileA(from.c_str(), to.c_str(), TRUE) != 0;
}

std::string ReadText(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (!ReadFileBytes(path, &bytes)) return std::string();
  return std::string(bytes.begin(), bytes.end());
}

TEST(DemoRelease, EachFolderHoldsExactlyItsFourFiles) {
  EXPECT_EQ(ListNames(Folder(kNew)),
            (std::vector<std::string>{"orvcore.dll", "orvtext.dll", "vusk.exe", "vusk.hlp"}));
  // The installation's exe has a capital V.
  EXPECT_EQ(ListNames(Folder(kOld)),
            (std::vector<std::string>{"Vusk.exe", "orvcore.dll", "orvtext.dll", "vusk.hlp"}));
}

TEST(DemoRelease, EachVersionReportsItselfThroughBothLibraries) {
  ExpectReports(Folder(kNew) + "vusk.exe", Line(kNew, kNew, kNew));
  ExpectReports(Folder(kOld) + "Vusk.exe", Line(kOld, kOld, kOld));
}

TEST(DemoRelease, HalfPatchedFolderShowsTheMix) {
  ScratchDir dir;
  // Only the libraries replaced.
  ASSERT_TRUE(Copy(Folder(kOld) + "Vusk.exe", dir.Join("Vusk.exe")));
  ASSERT_TRUE(Copy(Folder(kNew) + "orvcore.dll", dir.Join("orvcore.dll")));
  ASSERT_TRUE(Copy(Folder(kNew) + "orvtext.dll", dir.Join("orvtext.dll")));
  ExpectReports(dir.Join("Vusk.exe"), Line(kOld, kNew, kNew));

  // Everything but orvtext.dll replaced.
  ScratchDir other;
  ASSERT_TRUE(Copy(Folder(kNew) + "vusk.exe", other.Join("vusk.exe")));
  ASSERT_TRUE(Copy(Folder(kNew) + "orvcore.dll", other.Join("orvcore.dll")));
  ASSERT_TRUE(Copy(Folder(kOld) + "orvtext.dll", other.Join("orvtext.dll")));
  ExpectReports(other.Join("vusk.exe"), Line(kNew, kNew, kOld));
}

TEST(DemoRelease, ProgramWithoutItsLibrariesDoesNotRun) {
  ScratchDir dir;
  ASSERT_TRUE(Copy(Folder(kNew) + "vusk.exe", dir.Join("vusk.exe")));
  ASSERT_TRUE(Copy(Folder(kNew) + "orvcore.dll", dir.Join("orvcore.dll")));
  // orvtext.dll is missing: the loader refuses to start the program.
  Outcome run = RunProgram(dir.Join("vusk.exe"));
  ASSERT_TRUE(run.ended || !run.started);
  EXPECT_TRUE(!run.started || run.exit_code != 0) << run.exit_code;
  EXPECT_EQ(run.out, "");
}

TEST(DemoRelease, HelpFileNamesItsVersion) {
  const std::string help_new = ReadText(Folder(kNew) + "vusk.hlp");
  const std::string help_old = ReadText(Folder(kOld) + "vusk.hlp");
  EXPECT_NE(help_new.find("Tessaline " + kNew), std::string::npos);
  EXPECT_EQ(help_new.find(kOld), std::string::npos);
  EXPECT_NE(help_old.find("Tessaline " + kOld), std::string::npos);
  EXPECT_EQ(help_old.find(kNew), std::string::npos);
}

}  // namespace
