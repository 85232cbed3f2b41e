// The built lzcx program, run as a patch author runs it: exit status, the
// lines on stderr, and what is (or is not) left on the disk.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "lzcx/encoder.h"
#include "lzcx/pe_image.h"
#include "payload/container.h"
#include "payload/journal.h"
#include "payload/names.h"
#include "payload/applier_harness.h"
#include "platform/platform.h"
#include "support/payload_builder.h"
#include "support/pe_builder.h"
#include "support/scratch.h"

extern char** environ;

namespace {

const char kLzcx[] = LZCX_BINARY;

struct Result {
  int status;  // exit status, or -1 when the program did not exit normally
  std::string out, err;
  int ErrLines() const {
    int n = 0;
    for (char c : err) n += c == '\n';
    return n;
  }
};

std::string Slurp(const std::string& path) {
  Bytes b;
  ReadFileBytes(path, &b);
  return std::string(b.begin(), b.end());
}

// Runs lzcx with `args`, standard input from the file `in` (or none);
// `meanwhile`, if given, runs while it does, given the path of its stderr.
Result Lzcx(const std::vector<std::string>& args, const std::string& in = "/dev/null",
            const std::function<void(const std::string&)>& meanwhile = nullptr) {
  ScratchDir capture;
  const std::string out = capture.Join("stdout"), err = capture.Join("stderr");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv = {const_cast<char*>(kLzcx)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Result r = {-1, "", ""};
  pid_t pid;
  if (posix_spawn(&pid, kLzcx, &actions, nullptr, argv.data(), environ) == 0) {
    if (meanwhile) meanwhile(err);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  r.out = Slurp(out);
  r.err = Slurp(err);
  return r;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// What list prints after its header line.
std::string Rows(const std::string& out) { return out.substr(out.find('\n') + 1); }

// The first bytes of a real executable: this test program.
Bytes RealExecutable(size_t size) {
  Bytes all;
  if (!ReadFileBytes("/proc/self/exe", &all) || all.size() < size) return TextLike(size, 5);
  all.resize(size);
  return all;
}

// A program as the search takes one: a Windows executable, told apart
// from others by the bytes of its resource.
Bytes Program(int seed) {
  TestPeLayout layout;
  layout.payload = TextLike(3000, seed);
  return MakeTestPatcher(layout).image;
}

// Everything in a directory, with the contents of its small files, to see
// that nothing changed.
std::vector<std::pair<std::string, Bytes>> Snapshot(const std::string& dir) {
  std::vector<std::pair<std::string, Bytes>> all;
  for (const std::string& name : ListNames(dir)) {
    const std::string path = dir + "/" + name;
    struct stat st;
    Bytes b;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (1 << 20))
      ReadFileBytes(path, &b);
    all.push_back({name, b});
  }
  return all;
}
std::vector<std::pair<std::string, Bytes>> Snapshot(const ScratchDir& dir) {
  return Snapshot(dir.path());
}

// A command given bad input, and part of the one line it must print.
struct Refusal {
  const char* what;
  std::vector<std::string> args;
  const char* says;
};

class PackCli : public ::testing::Test {
 protected:
  // Each case: exit status 1, one line on stderr saying what is wrong, and
  // the directory exactly as it was.
  void ExpectRefused(const std::string& command, const std::vector<Refusal>& cases) {
    const auto before = Snapshot(dir_);
    for (const Refusal& c : cases) {
      SCOPED_TRACE(c.what);
      std::vector<std::string> args = {command};
      args.insert(args.end(), c.args.begin(), c.args.end());
      Result r = Lzcx(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.ErrLines(), 1) << r.err;
      EXPECT_EQ(r.err.find("lzcx: "), 0u) << r.err;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
      EXPECT_TRUE(Snapshot(dir_) == before);
    }
  }

  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_.Join(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
  }
  std::string Payload() const { return dir_.Join("payload.bin"); }

  ScratchDir dir_;
};

TEST_F(PackCli, PayloadVerifiesAndExtractsByteExact) {
  const Bytes exe = RealExecutable(200000), help = TextLike(60000, 1), noise = RandomBytes(3000, 2);
  const std::string exe_path = Write("Vusk-1.25.exe", exe);
  const std::string help_path = Write("vusk.hlp", help);
  const std::string empty_path = Write("empty.dat", {});
  const std::string noise_path = Write("noise.bin", noise);
  Result r = Lzcx({"pack", "--name", "vusk.exe=" + exe_path, "-o", Payload(), exe_path,
                   help_path, empty_path, noise_path});
  ASSERT_EQ(r.status, 0) << r.err;
  // One line per file: name, size, packed size, ratio; then the payload's
  // with pack's peak memory.
  EXPECT_EQ(r.ErrLines(), 5) << r.err;
  EXPECT_NE(r.err.find("\n" + Payload() + ": a payload of "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("; peak memory "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("vusk.exe: 200000 -> "), 0u) << r.err;
  EXPECT_NE(r.err.find("\nvusk.hlp: 60000 -> "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\nempty.dat: 0 -> "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("vusk.hlp: 60000 -> "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" (strong, group 1) (from " + help_path + ")\n"), std::string::npos) << r.err;
  // Noise is stored, in its place among the group's files.
  EXPECT_NE(r.err.find("\nnoise.bin: 3000 -> 3016 bytes, 1.005 (stored) (from " + noise_path +
                       ")\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");

  Result list = Lzcx({"list", Payload()});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(Rows(list.out).find("vusk.exe "), 0u) << list.out;
  EXPECT_LT(list.out.find("\nvusk.hlp "), list.out.find("\nempty.dat "));
  EXPECT_LT(list.out.find("\nempty.dat "), list.out.find("\nnoise.bin "));
  EXPECT_EQ(Lzcx({"verify", Payload()}).status, 0);

  ScratchDir out;
  Result x = Lzcx({"extract", "--force", Payload(), "-C", out.path()});
  ASSERT_EQ(x.status, 0) << x.err;
  EXPECT_EQ(out.Names(),
            (std::vector<std::string>{"empty.dat", "noise.bin", "vusk.exe", "vusk.hlp"}));
  Bytes b;
  ASSERT_TRUE(ReadFileBytes(out.Join("vusk.exe"), &b));
  EXPECT_TRUE(b == exe);
  ASSERT_TRUE(ReadFileBytes(out.Join("vusk.hlp"), &b));
  EXPECT_TRUE(b == help);
  ASSERT_TRUE(ReadFileBytes(out.Join("empty.dat"), &b));
  EXPECT_TRUE(b.empty());
  ASSERT_TRUE(ReadFileBytes(out.Join("noise.bin"), &b));
  EXPECT_TRUE(b == noise);
}

TEST_F(PackCli, QuietFastAndReplacingAnOldPayload) {
  const std::string text = Write("readme.txt", TextLike(30000, 3));
  const std::string exe = Write("tool.exe", RealExecutable(60000));
  Write("payload.bin", Str("an old payload"));
  Result r = Lzcx({"pack", "--quiet", "-o", Payload(), text, exe});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  Bytes optimal;
  ASSERT_TRUE(ReadFileBytes(Payload(), &optimal));
  EXPECT_EQ(Lzcx({"verify", Payload()}).status, 0);
  // Nothing but the inputs and the payload: no temporary file is left.
  EXPECT_EQ(dir_.Names(), (std::vector<std::string>{"payload.bin", "readme.txt", "tool.exe"}));
  struct stat st;
  ASSERT_EQ(stat(Payload().c_str(), &st), 0);
  EXPECT_NE(st.st_mode & 0044, 0u) << "the payload kept the temporary file's private mode";

  r = Lzcx({"pack", "--fast", "--quiet", "-o", Payload(), text, exe});
  ASSERT_EQ(r.status, 0) << r.err;
  Bytes fast;
  ASSERT_TRUE(ReadFileBytes(Payload(), &fast));
  EXPECT_EQ(Lzcx({"verify", Payload()}).status, 0);
  EXPECT_GT(fast.size(), optimal.size());
}

// 29 characters fit the first form of entry, longer names the extended
// one, up to 255.
TEST_F(PackCli, NamesOfUpTo255Characters) {
  const std::string file = Write("a.txt", TextLike(100, 1));
  for (size_t length : {29, 30, 255, 256}) {
    SCOPED_TRACE(length);
    const std::string name(length, 'n');
    Result r = Lzcx({"pack", "--name", name + "=" + file, "-o", Payload(), file});
    if (length > 255) {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("longer than 255 characters"), std::string::npos) << r.err;
      continue;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    Bytes payload;
    ASSERT_TRUE(ReadFileBytes(Payload(), &payload));
    EXPECT_EQ(payload.at(4) == 0, length > 29);
    Result list = Lzcx({"list", Payload()});
    EXPECT_EQ(Rows(list.out).find(name + " "), 0u) << list.out;
  }
}

// Bad input: exit 1, one line on stderr, and the directory exactly as it
// was, an old payload included.
TEST_F(PackCli, BadInputIsRefusedWithOneLineAndNothingWritten) {
  const std::string good = Write("good.txt", TextLike(5000, 7));
  const std::string sub = dir_.Join("sub");
  ASSERT_TRUE(MakeDirectory(sub));
  ASSERT_TRUE(MakeDirectory(dir_.Join("other")));
  ASSERT_TRUE(WriteFileBytes(dir_.Join("other/GOOD.TXT"), TextLike(10, 8)));
  const std::string huge = dir_.Join("huge.bin");
  {
    // Sparse, so no disk is used; refused by its size before it is read.
    int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kMaxBlockInput + 1)), 0);
    close(fd);
  }
  const std::string hard = dir_.Join("hardlink.txt");
  ASSERT_EQ(link(good.c_str(), hard.c_str()), 0);
  const std::string soft = dir_.Join("symlink.txt");
  ASSERT_EQ(symlink(good.c_str(), soft.c_str()), 0);

  const std::vector<Refusal> cases = {
      {"missing file", {"-o", Payload(), good, dir_.Join("missing.txt")}, "missing.txt"},
      {"directory", {"-o", Payload(), good, sub}, "is a directory"},
      {"no files", {"-o", Payload()}, "no files"},
      {"device name", {"--name", "con.txt=" + good, "-o", Payload(), good}, "con.txt"},
      {"path as name", {"--name", "../good.txt=" + good, "-o", Payload(), good}, "plain file name"},
      {"trailing dot", {"--name", "good.=" + good, "-o", Payload(), good}, "plain file name"},
      {"empty name", {"--name", "=" + good, "-o", Payload(), good}, "plain file name"},
      {"wildcard", {"--name", "go?d.txt=" + good, "-o", Payload(), good}, "Windows"},
      {"same name in another case",
       {"-o", Payload(), good, dir_.Join("other/GOOD.TXT")}, "GOOD.TXT"},
      {"same file twice", {"-o", Payload(), good, good}, "same file"},
      {"too large", {"-o", Payload(), huge}, "too large"},
      {"output is an input", {"-o", good, good}, "overwrite"},
      {"output is an input by another path",
       {"-o", dir_.Join("sub/../good.txt"), good}, "overwrite"},
      {"output is a hard link to an input", {"-o", hard, good}, "overwrite"},
      {"output is a symbolic link to an input", {"-o", soft, good}, "overwrite"},
      {"output is a directory", {"-o", sub, good}, "directory"},
      {"output is a device", {"-o", "/dev/null", good}, "not a regular file"},
      {"output's directory is missing", {"-o", dir_.Join("nowhere/p.bin"), good}, "nowhere"},
  };
  Write("payload.bin", Str("an old payload"));
  ExpectRefused("pack", cases);
}

// The conventions every command keeps, where tar, xz and zstd agree: the
// version, help on each command (every option, the exit statuses), usage
// errors, "-" for standard input and output, the list in pack's column
// order, list --json, extract -v, and errors that name the file and why.
TEST_F(PackCli, CommandLineConventions) {
  const std::string exe = Write("vusk.exe", RealExecutable(30000));
  const std::string hlp = Write("vusk.hlp", TextLike(5000, 3));
  Result packed = Lzcx({"pack", "-o", Payload(), exe, hlp});
  ASSERT_EQ(packed.status, 0) << packed.err;
  unsigned long exe_packed = 0;
  ASSERT_EQ(sscanf(packed.err.c_str(), "vusk.exe: 30000 -> %lu bytes", &exe_packed), 1);
  Result streamed = Lzcx({"pack", "--quiet", "-o", "-", exe, hlp});
  EXPECT_EQ(streamed.status, 0) << streamed.err;
  EXPECT_TRUE(streamed.out == Slurp(Payload())) << "pack -o - wrote other bytes";

  // Where extract cannot go, and why.
  ScratchDir read_only, blocked;
  const std::string locked = read_only.Join("vusk.exe");
  ASSERT_TRUE(WriteFileBytes(locked, Str("old")));
  ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
  ASSERT_TRUE(MakeDirectory(blocked.Join("VUSK.HLP")));
  const std::string link = dir_.Join("link");
  ASSERT_EQ(symlink(read_only.path().c_str(), link.c_str()), 0);
  const std::string a = dir_.Join("a"), b = dir_.Join("b");

  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string in;  // standard input's file
    int status;
    std::string says;  // on stdout for status 0, on stderr otherwise
  };
  const std::vector<Case> cases = {
      {"version", {"--version"}, "", 0, "lzcx "},
      {"version, short", {"-V"}, "", 0, "lzcx "},
      {"help", {"--help"}, "", 0, "\n  2  a usage error"},
      {"help on no command", {"help", "frob"}, "", 2, "lzcx: unknown command: frob\n"},
      {"no command", {"frob"}, "", 2, "lzcx: unknown command: frob\n"},
      {"a quote kept by a backslash", {"extract", Payload(), "-C", a + "\" -v", b}, "", 2,
       "hint: the argument '" + a + "\" -v' holds a quote"},
      {"-C twice", {"extract", Payload(), "-C", a, "-C", b}, "", 2, "-C given twice"},
      {"recover -C twice", {"recover", "-C", a, "--directory", b}, "", 2, "-C given twice"},
      {"argument missing", {"extract", Payload(), "--directory"}, "", 2, "needs an argument"},
      {"argument not taken", {"list", "--json=yes", Payload()}, "", 2, "--json takes no argument"},
      {"verify from stdin", {"verify", "-"}, Payload(), 0, "(stdin): ok, 2 entries"},
      {"not a payload on stdin", {"list", "-"}, hlp, 1, "(stdin): neither a payload nor a patcher"},
      {"verify, one of two bad", {"verify", Payload(), hlp}, "", 1,
       hlp + ": neither a payload nor a patcher"},
      {"missing directory", {"extract", "--force", Payload(), "-C", a}, "", 1,
       a + ": no such directory"},
      {"recover, missing directory", {"recover", "-C", a}, "", 1, a + ": no such directory"},
      {"file as directory", {"extract", Payload(), "-C", exe}, "", 1, exe + ": not a directory"},
      {"link as directory", {"extract", Payload(), "-C", link}, "", 1, link + ": a symbolic link"},
      {"read-only file", {"extract", Payload(), "-C", read_only.path()}, "", 8,
       locked + ": read-only"},
      {"directory in the way", {"extract", "--force", Payload(), "-C", blocked.path()}, "", 8,
       blocked.Join("VUSK.HLP") + ": a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Result r = Lzcx(c.args, c.in.empty() ? "/dev/null" : c.in);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE((c.status ? r.err : r.out).find(c.says), std::string::npos) << r.out << r.err;
    if (c.status == 1 || c.status == 8) {
      EXPECT_EQ(r.ErrLines(), 1) << r.err;
    }
    if (c.status == 2) {
      EXPECT_NE(r.err.find("\nusage: lzcx "), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(Slurp(locked), "old");
  EXPECT_EQ(blocked.Names(), std::vector<std::string>{"VUSK.HLP"});

  // Help on each command, either way asked: every option and exit status.
  const std::vector<std::pair<std::string, std::vector<std::string>>> commands = {
      {"list", {"--json"}},
      {"verify", {}},
      {"extract", {"-C, --directory DIR", "--find", "--find-in DIR", "--force", "--log FILE",
                   "-v, --verbose"}},
      {"recover", {"-C, --directory DIR"}},
      {"pack", {"-o, --output", "--name NAME=FILE", "--fast", "-q, --quiet"}},
      {"patcher", {"--stub STUB.exe", "-o, --output", "--name NAME=FILE", "--fast", "-q, --quiet"}},
  };
  for (const auto& command : commands) {
    SCOPED_TRACE(command.first);
    Result help = Lzcx({"help", command.first});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.find("usage: lzcx " + command.first + " "), 0u) << help.out;
    for (const std::string& says : {std::string("-h, --help"), std::string("\n  0  "),
                                    std::string("\n  1  "), std::string("\n  2  ")})
      EXPECT_NE(help.out.find(says), std::string::npos) << says << "\n" << help.out;
    for (const std::string& option : command.second)
      EXPECT_NE(help.out.find("  " + option), std::string::npos) << option << "\n" << help.out;
    EXPECT_EQ(Lzcx({command.first, "--help"}).out, help.out);
  }

  // list: a header naming the columns, sizes in pack's order (expanded,
  // then packed); the same from standard input; and as JSON.
  Result list = Lzcx({"list", Payload()});
  ASSERT_EQ(list.status, 0) << list.err;
  char name[32], form[16], expanded[16], packed_size[16], ratio[16];
  ASSERT_EQ(sscanf(list.out.c_str(), "%31s %15s %15s %15s %15s", name, form, expanded, packed_size,
                   ratio), 5);
  EXPECT_EQ(std::vector<std::string>({name, form, expanded, packed_size, ratio}),
            std::vector<std::string>({"name", "form", "expanded", "packed", "ratio"}));
  unsigned long row_expanded = 0, row_packed = 0;
  ASSERT_EQ(sscanf(Rows(list.out).c_str(), "vusk.exe strong %lu %lu", &row_expanded,
                   &row_packed), 2) << list.out;
  EXPECT_EQ(row_expanded, 30000u);
  EXPECT_EQ(row_packed, exe_packed);
  EXPECT_EQ(Lzcx({"list", "-"}, Payload()).out, list.out);
  Result json = Lzcx({"list", "--json", Payload()});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("{\"name\": \"vusk.exe\", \"form\": \"strong\", \"compressed\": true, "
                          "\"expanded\": 30000, \"packed\": " + std::to_string(exe_packed) +
                          ", \"old\": null, \"group\": 1}"),
            std::string::npos) << json.out;
  EXPECT_EQ(json.out.find("{\"checksums\": true, \"entries\": ["), 0u) << json.out;

  // extract -v: each path written, one a line.
  ScratchDir target;
  Result x = Lzcx({"extract", "--force", "-v", Payload(), "-C", target.path()});
  EXPECT_EQ(x.status, 0) << x.err;
  EXPECT_EQ(x.out, target.Join("vusk.exe") + "\n" + target.Join("vusk.hlp") + "\n");
  EXPECT_EQ(target.Names(), (std::vector<std::string>{"vusk.exe", "vusk.hlp"}));
}

TEST_F(PackCli, UsageErrorsExitTwo) {
  const std::string good = Write("good.txt", TextLike(500, 7));
  const std::vector<std::vector<std::string>> cases = {
      {"pack"},
      {"pack", good},
      {"pack", "-o"},
      {"pack", "--fastest", "-o", Payload(), good},
      {"pack", "-o", Payload(), "-o", Payload(), good},
      {"pack", "-o", Payload(), good, "--name"},
      {"pack", "--name", "vusk.exe", "-o", Payload(), good},
      {"pack", "--name", "vusk.exe=" + dir_.Join("other.txt"), "-o", Payload(), good},
      {"pack", "--name", "a.txt=" + good, "--name", "b.txt=" + good, "-o", Payload(), good},
  };
  for (const auto& args : cases) {
    Result r = Lzcx(args);
    EXPECT_EQ(r.status, 2) << args.size() << " " << r.err;
    EXPECT_NE(r.err.find("usage: lzcx pack"), std::string::npos) << r.err;
  }
  EXPECT_EQ(dir_.Names(), std::vector<std::string>{"good.txt"});
  // A file named like an option, after "--".
  Write("-dash.txt", TextLike(500, 8));
  char cwd[4096];
  ASSERT_TRUE(GetWorkingDirectory(cwd, sizeof cwd));
  ASSERT_TRUE(SetWorkingDirectory(dir_.path().c_str()));
  Result r = Lzcx({"pack", "-o", "p.bin", "--", "-dash.txt"});
  Result dashed = Lzcx({"pack", "--quiet", "-o", "q.bin", "-dash.txt"});
  ASSERT_TRUE(SetWorkingDirectory(cwd));
  EXPECT_EQ(r.status, 0) << r.err;
  // Stored under its path: the line says nothing more.
  EXPECT_EQ(r.err.find("-dash.txt: 500 -> "), 0u) << r.err;
  EXPECT_EQ(r.err.find("(from"), std::string::npos) << r.err;
  EXPECT_EQ(dashed.status, 2) << dashed.err;
  EXPECT_EQ(Rows(Lzcx({"list", dir_.Join("p.bin")}).out).find("-dash.txt "), 0u);
}

// The commands that read payloads, on good, corrupt and unsafe ones.
class PayloadCli : public ::testing::Test {
 protected:
  std::string Save(const Bytes& payload) {
    const std::string path = files_.Join("payload-" + std::to_string(++saved_) + ".bin");
    EXPECT_TRUE(WriteFileBytes(path, payload));
    return path;
  }
  static void ExpectRefused(const Result& r, const std::string& says) {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.ErrLines(), 1) << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
  }

  ScratchDir files_;
  int saved_ = 0;
};

TEST_F(PayloadCli, GoodPayload) {
  const Bytes exe = TextLike(9000, 1), dll = RandomBytes(700, 2);
  const std::string p = Save(MakeContainer({{"vusk.exe", 1, GreedyBlock(exe)},
                                            {"orvcore.dll", 0, dll}}));
  Result r = Lzcx({"list", p});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Rows(r.out).find("vusk.exe "), 0u) << r.out;
  EXPECT_NE(r.out.find("\norvcore.dll "), std::string::npos) << r.out;
  r = Lzcx({"verify", p});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("ok, 2 entries, 9700 bytes"), std::string::npos) << r.out;
  ScratchDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.Join("vusk.exe"), Str("old")));
  r = Lzcx({"extract", p, "-C", dir.path()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"orvcore.dll", "vusk.exe"}));
  Bytes b;
  ASSERT_TRUE(ReadFileBytes(dir.Join("vusk.exe"), &b));
  EXPECT_TRUE(b == exe);
  ASSERT_TRUE(ReadFileBytes(dir.Join("orvcore.dll"), &b));
  EXPECT_TRUE(b == dll);
}

TEST_F(PayloadCli, CorruptPayloadNamesTheEntryAndWritesNothing) {
  const Bytes good = GreedyBlock(TextLike(4000, 4));
  // The third entry's first item becomes a match reaching 4095 bytes
  // before the start of its output.
  Bytes wild = good;
  wild[kBlockHeaderSize] = 0xFF;
  wild[kBlockHeaderSize + 2] = 0xFF;
  wild[kBlockHeaderSize + 3] = 0xFF;
  const std::string decode_fault = Save(MakeContainer(
      {{"vusk.exe", 1, good}, {"orvcore.dll", 1, GreedyBlock({})}, {"orvtext.dll", 1, wild}}));
  Bytes cut = MakeContainer({{"vusk.exe", 1, good}, {"vusk.hlp", 1, good}});
  cut.resize(cut.size() - 10);
  const std::string truncated = Save(cut);

  ExpectRefused(Lzcx({"verify", decode_fault}), "orvtext.dll");
  ExpectRefused(Lzcx({"verify", truncated}), "vusk.hlp");
  ExpectRefused(Lzcx({"list", truncated}), "vusk.hlp");
  for (const std::string& p : {decode_fault, truncated}) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFileBytes(dir.Join("vusk.exe"), Str("old")));
    ExpectRefused(Lzcx({"extract", p, "-C", dir.path()}), p == truncated ? "vusk.hlp" : "orvtext.dll");
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"vusk.exe"});
    EXPECT_EQ(Slurp(dir.Join("vusk.exe")), "old");
  }
}

TEST_F(PayloadCli, UnsafeNamesAreRefusedAndNothingLandsOutside) {
  ScratchDir parent;
  const std::string inner = parent.Join("target");
  ASSERT_TRUE(MakeDirectory(inner));
  for (const char* name : {"../evil.txt", "/tmp/evil.txt", "con", "evil.txt "}) {
    SCOPED_TRACE(name);
    const std::string p = Save(MakeContainer({{"vusk.exe", 0, Str("new")},
                                              {name, 0, Str("evil")}}));
    ExpectRefused(Lzcx({"verify", p}), std::string("(") + name + "): not a plain file name");
    ExpectRefused(Lzcx({"extract", p, "-C", inner}), name);
    EXPECT_EQ(parent.Names(), std::vector<std::string>{"target"});
    EXPECT_EQ(Snapshot(parent).size(), 1u);
    ScratchDir empty;
    ExpectRefused(Lzcx({"extract", "--force", p, "-C", empty.path()}), name);
    EXPECT_TRUE(empty.Names().empty());
  }
}

// An interrupted patch: the journal `phase` with one step (temporary 0
// becomes vusk.exe, holding "new"; the old one, "old", went to backup 1),
// and the files left, each holding "new" or "old".
void Interrupted(const ScratchDir& dir, int phase,
                 const std::vector<std::pair<std::string, std::string>>& files) {
  const Bytes old = Str("old");
  ASSERT_TRUE(WriteFileBytes(dir.Join(kJournalName), MakeJournal(phase, {{0, 1, "vusk.exe", Str("new"), &old}})));
  for (const auto& file : files) ASSERT_TRUE(WriteFileBytes(dir.Join(file.first), Str(file.second)));
}

TEST_F(PayloadCli, RecoverFinishesOrUndoesAnInterruptedPatch) {
  ScratchDir dir;
  const std::string d = dir.path();
  Result r = Lzcx({"recover", "-C", d});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, d + ": no interrupted patch, nothing to do\n");
  // Swapped, not yet cleaned up: finished.
  Interrupted(dir, kPhaseCommit, {{"vusk.exe", "new"}, {"~pt0001.tmp", "old"}, {"other.txt", "new"}});
  r = Lzcx({"recover", "-C", d});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, d + ": finished the interrupted patch\n");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"other.txt", "vusk.exe"}));
  // Half swapped: undone, the old file back under its name.
  RemoveTree(dir.Join("vusk.exe"));
  Interrupted(dir, kPhaseCommit, {{"~pt0000.tmp", "new"}, {"~pt0001.tmp", "old"}});
  r = Lzcx({"recover", "-C", d});
  EXPECT_EQ(r.out, d + ": undid the interrupted patch\n");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"other.txt", "vusk.exe"}));
  EXPECT_EQ(Slurp(dir.Join("vusk.exe")), "old");
  // A damaged journal: refused, by recover and by extract alike.
  Interrupted(dir, kPhaseStaging, {{"~pt0000.tmp", "new"}});
  Bytes journal;
  ASSERT_TRUE(ReadFileBytes(dir.Join(kJournalName), &journal));
  journal[20] ^= 1;
  ASSERT_TRUE(WriteFileBytes(dir.Join(kJournalName), journal));
  const std::string p = Save(MakeContainer({{"vusk.exe", 0, Str("new")}}));
  ExpectRefused(Lzcx({"recover", "-C", d}), "damaged");
  r = Lzcx({"extract", p, "-C", d});
  EXPECT_EQ(r.status, 1) << "nothing changed: a damaged journal is for a person to look at";
  EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
  EXPECT_EQ(dir.Names().size(), 4u);
  // Staging interrupted: extract removes the temporary, then patches.
  Interrupted(dir, kPhaseStaging, {{"~pt0000.tmp", "new"}});
  r = Lzcx({"extract", p, "-C", d});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"other.txt", "vusk.exe"}));
  EXPECT_EQ(Slurp(dir.Join("vusk.exe")), "new");
}

// A patch killed at each of its file operations, then the folder taken by
// every road: extract -C, extract --find-in (the scan finds the folder
// whatever the patch left of its program), and a delta patcher made from
// the installation's files. Each finishes or undoes the interrupted patch
// first and says so, then patches or finds the folder up to date: the new
// files, status 0 or 4, never "not installed".
TEST_F(PayloadCli, EveryRoadFinishesAnInterruptedPatch) {
  // The program a little changed and orvcore.dll not at all: the delta
  // patcher makes both deltas, and one of them holds only when the old
  // program is there.
  // Both programs Windows executables, as the search wants them: the new
  // one changed only in its resource's bytes.
  Shape shape(Shape::kUnchanged);
  TestPeLayout layout;
  layout.payload = TextLike(5000, 1);
  shape.before["Vusk.exe"] = MakeTestPatcher(layout).image;
  shape.release.exe = shape.before.at("Vusk.exe");
  const size_t resource = std::search(shape.release.exe.begin(), shape.release.exe.end(),
                                      layout.payload.begin(), layout.payload.end()) -
                          shape.release.exe.begin();
  ASSERT_LT(resource, shape.release.exe.size());
  for (size_t i = 100; i < layout.payload.size(); i += 700) shape.release.exe[resource + i] ^= 0x20;
  shape.payload = shape.release.Payload();
  shape.after = shape.release.After(shape.before);
  const std::string full = Save(shape.payload);
  // The delta patcher: the same release, packed against the old files.
  ScratchDir old_files, new_files;
  Restore(old_files, shape.before);
  std::vector<std::string> pack = {"pack", "-q", "-o", files_.Join("delta.bin"), "--from",
                                   old_files.path()};
  for (const auto& file : shape.after) {
    if (file.first == "settings.ini") continue;  // no entry of the release
    const std::string name = file.first == "Vusk.exe" ? "vusk.exe" : file.first;
    ASSERT_TRUE(WriteFileBytes(new_files.Join(name), file.second));
    pack.push_back(new_files.Join(name));
  }
  ASSERT_EQ(Lzcx(pack).status, 0);
  const std::string delta = files_.Join("delta.bin");
  const std::string listed = Lzcx({"list", delta}).out;
  ASSERT_NE(listed.find("delta"), listed.rfind("delta")) << listed;

  ScriptedOps counter;
  {
    ScratchDir dir;
    shape.Lay(dir);
    ApplyPayload(shape.payload.data(), shape.payload.size(), dir.path().c_str(), counter);
  }
  struct Road {
    const char* what;
    std::vector<std::string> args;  // DIR and ROOT stand for the paths
    int trials = 0, whole = 0, statuses[5] = {0}, told = 0;
  };
  Road roads[] = {{"extract -C", {"extract", full, "-C", "DIR"}},
                  {"extract --find-in", {"extract", full, "--find-in", "ROOT"}},
                  {"a delta patcher", {"extract", delta, "-C", "DIR"}}};
  for (long at = 0; at < counter.calls(); ++at) {
    for (Road& road : roads) {
      ScratchDir root;
      ScratchDir inst(root.path().c_str());
      shape.Lay(inst);
      ASSERT_TRUE(RunKilledAt(at, [&](ScriptedOps& ops) {
        ApplyPayload(shape.payload.data(), shape.payload.size(), inst.path().c_str(), ops);
      }));
      const bool interrupted = Take(inst).count(kJournalName) != 0;
      std::vector<std::string> args;
      for (const std::string& a : road.args)
        args.push_back(a == "DIR" ? inst.path() : a == "ROOT" ? root.path() : a);
      const Result r = Lzcx(args);
      const std::string where = std::string(road.what) + " after a kill at " +
                                std::to_string(at) + ": " + r.err;
      ++road.trials;
      EXPECT_TRUE(r.status == 0 || r.status == 4) << where;
      if (r.status >= 0 && r.status < 5) ++road.statuses[r.status];
      EXPECT_EQ(Take(inst), shape.after) << where;
      road.whole += Take(inst) == shape.after;
      const bool told = r.err.find("lzcx: an interrupted patch of ") != std::string::npos;
      EXPECT_EQ(told, interrupted) << where;
      road.told += told;
    }
  }
  for (const Road& road : roads)
    printf("%s, after a kill at each of %d calls: %d new sets; %d patched, %d up to date; %d "
           "said they finished or undid a patch\n",
           road.what, road.trials, road.whole, road.statuses[0], road.statuses[4], road.told);
}

// A process of `user` (null: as this one) holding a flock on `path` (made
// when `make`), stopped until killed; -1 when it could not take it.
pid_t HoldFlock(const std::string& path, const passwd* user, bool make) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = prctl(PR_SET_PDEATHSIG, SIGKILL) ||
                           (user && (setgroups(0, nullptr) || setgid(user->pw_gid) ||
                                     setuid(user->pw_uid)))
                       ? -1
                       : open(path.c_str(), O_RDONLY | (make ? O_CREAT | O_EXCL : 0), 0600);
    _exit(fd < 0 || flock(fd, LOCK_EX | LOCK_NB) || raise(SIGSTOP));
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status) ? pid : -1;
}

// extract's exit statuses, one machine state each, what the folder holds
// after it (the new files, or exactly what it held: the same files, not
// rewritten), and the one log line of the run. --check first on each: the
// status the run would give, and the folder untouched.
TEST_F(PackCli, ExtractStatusesAndTheFolderAfter) {
  TestPeLayout layout;
  layout.version = 0x0001001900000000ull;  // 1.25.0.0
  const Bytes exe = MakeTestPatcher(layout).image, hlp = TextLike(4000, 9);
  layout.version = 0x0001001800000000ull;
  const Bytes old_exe = MakeTestPatcher(layout).image;
  layout.version = 0x0001001a00000000ull;
  const Bytes newer_exe = MakeTestPatcher(layout).image;
  Bytes old_hlp = hlp;
  for (size_t i = 0; i < old_hlp.size(); i += 500) old_hlp[i] ^= 0x20;
  const std::string exe_path = Write("Vusk-1.25.exe", exe), hlp_path = Write("vusk.hlp", hlp);
  ASSERT_EQ(Lzcx({"pack", "-q", "--name", "vusk.exe=" + exe_path, "-o", Payload(), exe_path,
                  hlp_path}).status, 0);
  // The delta patcher, made from the 1.24 files.
  ScratchDir old_release;
  ASSERT_TRUE(WriteFileBytes(old_release.Join("vusk.exe"), old_exe));
  ASSERT_TRUE(WriteFileBytes(old_release.Join("vusk.hlp"), old_hlp));
  const std::string delta = dir_.Join("delta.bin");
  ASSERT_EQ(Lzcx({"pack", "-q", "--from", old_release.path(), "--name", "vusk.exe=" + exe_path,
                  "-o", delta, exe_path, hlp_path}).status, 0);
  ASSERT_NE(Lzcx({"list", delta}).out.find("delta"), std::string::npos);
  Bytes damaged;
  ASSERT_TRUE(ReadFileBytes(Payload(), &damaged));
  damaged[damaged.size() / 2] ^= 0x10;
  const std::string bad = Write("damaged.bin", damaged);
  const std::string no_program = dir_.Join("no-program.bin");
  ASSERT_EQ(Lzcx({"pack", "-q", "-o", no_program, hlp_path}).status, 0);

  // The lock: the folder flocked by another user (the old lock), ~ptlock.tmp
  // theirs (flocked by them), or a link.
  enum Folder { kEmpty, kOld, kOldHelpNew, kCurrent, kCurrentInterrupted, kReadOnly, kLocked,
                kLockedAWhile, kModified, kNewer, kFull, kFolderFlocked, kLockOfAnother,
                kLockALink, kPayloadCut };
  const passwd* nobody = getpwnam("nobody");
  struct Case {
    const char* what;
    Folder folder;
    std::vector<std::string> args;  // DIR, ROOT, PAYLOAD and DELTA stand for the paths
    int status, check;              // of a run, and of --check first (-1: not run)
    bool patched;
    const char* log;  // what the run's log line holds after dir=...
  };
  const char* const kOldLog = "status=0 word=patched written=2 unchanged=0 removed=0 recovered=none";
  const std::vector<Case> cases = {
      {"empty folder", kEmpty, {"-C", "DIR", "PAYLOAD"}, 3, 3, false,
       "status=3 word=not-installed written=0"},
      {"1.24 installed", kOld, {"-C", "DIR", "PAYLOAD"}, 0, 0, true, kOldLog},
      {"1.24, its help already new", kOldHelpNew, {"-C", "DIR", "PAYLOAD"}, 0, 0, true,
       "status=0 word=patched written=1 unchanged=1 removed=0 recovered=none"},
      {"already 1.25", kCurrent, {"-C", "DIR", "PAYLOAD"}, 4, 4, false,
       "status=4 word=up-to-date written=0 unchanged=0 removed=0 recovered=none"},
      // Undone first, it is up to date: its files, nothing of the patch's.
      {"up to date, a patch interrupted", kCurrentInterrupted, {"-C", "DIR", "PAYLOAD"}, 4, 6,
       true, "status=4 word=up-to-date written=0 unchanged=0 removed=0 recovered=undone"},
      {"damaged payload", kOld, {"-C", "DIR", bad}, 1, 1, false, "status=1 word=failed"},
      {"payload without the program", kOld, {"-C", "DIR", no_program}, 3, 3, false,
       "status=3 word=not-installed"},
      {"bad usage", kOld, {"-C", "DIR", "--find-in", "ROOT", "PAYLOAD"}, 2, 2, false, nullptr},
      {"--force, empty folder", kEmpty, {"--force", "-C", "DIR", "PAYLOAD"}, 0, 0, true,
       "status=0 word=patched written=2 unchanged=0"},
      {"--find-in, hit", kOld, {"--find-in", "ROOT", "PAYLOAD"}, 0, 0, true, kOldLog},
      {"--find-in, up to date", kCurrent, {"--find-in", "ROOT", "PAYLOAD"}, 4, 4, false,
       "status=4 word=up-to-date"},
      {"--find-in, miss", kEmpty, {"--find-in", "ROOT", "PAYLOAD"}, 3, 3, false,
       "status=3 word=not-installed"},
      {"a file read-only", kReadOnly, {"-C", "DIR", "PAYLOAD"}, 8, 8, false,
       "status=8 word=cannot-write written=0"},
      // The check takes no lock, so it cannot see another patch running.
      {"another patch running", kLocked, {"--wait", "0", "-C", "DIR", "PAYLOAD"}, 5, 0, false,
       "status=5 word=busy written=0"},
      {"another patch, over within --wait", kLockedAWhile, {"--wait", "30", "-C", "DIR", "PAYLOAD"},
       0, -1, true, kOldLog},
      // The mapped payload cut short by another process while the run
      // waits: one line naming it, not a crash, and no log line.
      {"the payload cut short while it waits", kPayloadCut, {"--wait", "30", "-C", "DIR", "CUT"},
       1, -1, false, nullptr},
      {"a delta, 1.24 installed", kOld, {"-C", "DIR", "DELTA"}, 0, 0, true, kOldLog},
      {"a delta, an old file modified", kModified, {"-C", "DIR", "DELTA"}, 7, 7, false,
       "status=7 word=not-this-version written=0"},
      {"a newer version installed", kNewer, {"-C", "DIR", "PAYLOAD"}, 4, 4, false,
       "version=1.25.0.0 dir="},
      {"a newer version, --force", kNewer, {"--force", "-C", "DIR", "PAYLOAD"}, 0, 0, true,
       kOldLog},
      // On a volume of 16 KB, which the new files and the journals outgrow.
      {"not enough free space", kFull, {"-C", "DIR", "PAYLOAD"}, 8, 8, false,
       "status=8 word=cannot-write written=0"},
      // The check takes no lock: these are a run's to meet.
      {"the folder flocked by another user", kFolderFlocked, {"-C", "DIR", "PAYLOAD"}, 0, 0, true,
       kOldLog},
      {"the lock file another user's", kLockOfAnother, {"-C", "DIR", "PAYLOAD"}, 8, -1, false,
       "status=8 word=cannot-write written=0"},
      {"the lock file a link", kLockALink, {"-C", "DIR", "PAYLOAD"}, 8, -1, false,
       "status=8 word=cannot-write written=0"},
  };
  const std::string log = dir_.Join("patch.log");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The installation two levels down, beside an empty folder the scan
    // walks first; its name has a space and quotes, which the log quotes.
    ScratchDir root;
    ASSERT_TRUE(MakeDirectory(root.Join("0empty")));
    ASSERT_TRUE(MakeDirectory(root.Join("Orvendel")));
    const std::string dir = root.Join("Orvendel/Tessaline \"R\"");
    ASSERT_TRUE(MakeDirectory(dir));
    std::unique_ptr<SmallVolume> volume(c.folder == kFull ? new SmallVolume(dir, 16) : nullptr);
    if (volume && !volume->mounted_) continue;  // not root: no volume to fill
    const bool current = c.folder == kCurrent || c.folder == kCurrentInterrupted;
    if (c.folder != kEmpty) {
      ASSERT_TRUE(WriteFileBytes(dir + "/Vusk.exe", current            ? exe
                                                    : c.folder == kNewer ? newer_exe
                                                                         : old_exe));
      Bytes help = current || c.folder == kOldHelpNew ? hlp : old_hlp;
      if (c.folder == kModified) help[1] ^= 1;
      ASSERT_TRUE(WriteFileBytes(dir + "/vusk.hlp", help));
    }
    if (c.folder == kCurrentInterrupted) {
      ASSERT_TRUE(WriteFileBytes(dir + "/" + kJournalName,
                                 MakeJournal(kPhaseStaging, {{0, 0, "vusk.hlp", {}, nullptr}})));
      ASSERT_TRUE(WriteFileBytes(dir + "/~pt0000.tmp", Str("half")));
    }
    if (c.folder == kReadOnly) {
      ASSERT_EQ(chmod((dir + "/vusk.hlp").c_str(), 0444), 0);
    }
    const std::string lock = dir + "/~ptlock.tmp";
    const bool other_user = c.folder == kFolderFlocked || c.folder == kLockOfAnother;
    if (other_user && (geteuid() != 0 || !nobody)) continue;  // only root runs one as another
    ASSERT_EQ(chmod(root.path().c_str(), 0755), 0);
    ASSERT_TRUE(c.folder == kLockOfAnother
                    ? WriteFileBytes(lock, {}) && !chown(lock.c_str(), nobody->pw_uid, 0)
                    : c.folder != kLockALink || !symlink(hlp_path.c_str(), lock.c_str()));
    const pid_t flocker =
        other_user ? HoldFlock(c.folder == kFolderFlocked ? dir : lock, nobody, false) : 0;
    ASSERT_GE(flocker, 0);
    // Another patch: the folder's lock, held by the platform's own call
    // here, or in a child process for a second.
    platform::Directory* held = nullptr;
    pid_t holder = -1;
    const std::string cut = dir_.Join("cut.bin");
    if (c.folder == kPayloadCut) {
      ASSERT_TRUE(WriteFileBytes(cut, Str(Slurp(Payload()))));
    }
    if (c.folder == kLocked || c.folder == kPayloadCut) {
      held = platform::OpenDirectory((dir + "/").c_str());
      ASSERT_EQ(platform::LockDirectory(held, "~ptlock.tmp"), platform::kLockTaken);
    }
    if (c.folder == kLockedAWhile) {
      int taken[2];
      ASSERT_EQ(pipe(taken), 0);
      holder = fork();
      ASSERT_GE(holder, 0);
      if (holder == 0) {
        platform::Directory* d = platform::OpenDirectory((dir + "/").c_str());
        if (d && platform::LockDirectory(d, "~ptlock.tmp") == platform::kLockTaken &&
            write(taken[1], "x", 1) == 1)
          usleep(1000 * 1000);
        _exit(0);
      }
      char x;
      ASSERT_EQ(read(taken[0], &x, 1), 1);
      close(taken[0]);
      close(taken[1]);
    }
    struct stat before_exe = {}, before_hlp = {};
    stat((dir + "/Vusk.exe").c_str(), &before_exe);
    stat((dir + "/vusk.hlp").c_str(), &before_hlp);
    auto before = Snapshot(dir);
    // (That lock is let go during the run.)
    if (c.folder == kPayloadCut) {
      ASSERT_EQ(before.back().first, "~ptlock.tmp");
      before.pop_back();
    }

    std::vector<std::string> args = {"extract", "--log", log};
    for (const std::string& a : c.args)
      args.push_back(a == "DIR"       ? dir
                     : a == "ROOT"    ? root.path()
                     : a == "PAYLOAD" ? Payload()
                     : a == "DELTA"   ? delta
                     : a == "CUT"     ? cut
                                      : a);
    if (c.check >= 0) {  // one line saying why, naming the folder
      std::vector<std::string> check = args;
      check.insert(check.begin() + 1, "--check");
      const Result r = Lzcx(check);
      EXPECT_EQ(r.status, c.check) << r.out << r.err;
      EXPECT_TRUE(Snapshot(dir) == before) << "--check wrote";
      if (c.check == 0 || c.check == 6) {
        EXPECT_EQ(r.ErrLines() + std::count(r.out.begin(), r.out.end(), '\n'),
                  c.args[0] == "--find-in" ? 2 : 1) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(dir), std::string::npos) << r.out << r.err;
      }
    }
    const size_t logged = Slurp(log).size();
    // Once the run has read the payload and waits, the payload is cut
    // short, then the lock let go.
    Result r = Lzcx(args, "/dev/null", [&](const std::string& err) {
      if (c.folder != kPayloadCut) return;
      for (int i = 0; i < 1000 && Slurp(err).find("is busy") == std::string::npos; ++i)
        usleep(10000);
      EXPECT_EQ(truncate(cut.c_str(), 0), 0);
      platform::CloseDirectory(held);
      held = nullptr;
    });
    if (holder > 0) waitpid(holder, nullptr, 0);
    if (flocker > 0 && kill(flocker, SIGKILL) == 0) waitpid(flocker, nullptr, 0);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    if (c.patched) {
      EXPECT_EQ(ListNames(dir), (std::vector<std::string>{
                                    c.folder == kEmpty ? "vusk.exe" : "Vusk.exe", "vusk.hlp"}));
      EXPECT_TRUE(Str(Slurp(dir + "/" + ListNames(dir)[0])) == exe);
      EXPECT_TRUE(Str(Slurp(dir + "/vusk.hlp")) == hlp);
    } else {
      EXPECT_TRUE(Snapshot(dir) == before);
    }
    if (held) platform::CloseDirectory(held);  // (its lock file goes with it)
    // A file already new is not rewritten, nor is anything of a refusal.
    struct stat after_exe = {}, after_hlp = {};
    stat((dir + "/Vusk.exe").c_str(), &after_exe);
    stat((dir + "/vusk.hlp").c_str(), &after_hlp);
    if (!c.patched) {
      EXPECT_EQ(after_exe.st_ino, before_exe.st_ino) << "rewritten";
    }
    if (!c.patched || c.folder == kOldHelpNew) {
      EXPECT_EQ(after_hlp.st_ino, before_hlp.st_ino) << "rewritten";
    }
    // --find prints the folder it found first.
    if (c.args[0] == "--find-in" && c.status != 3) {
      EXPECT_EQ(r.out.find(dir + "/\n"), 0u) << r.out;
    }
    if (c.status == 4) {
      EXPECT_NE(r.out.find("nothing written"), std::string::npos) << r.out;
    }
    if (c.status != 0 && c.status != 4) {
      EXPECT_EQ(r.err.find("lzcx: "), 0u) << r.err;
    }
    // A lock file not ours is named; a held one names its holder (this test).
    std::string command = Slurp("/proc/self/comm");
    command.pop_back();
    const std::string named = c.folder == kLockOfAnother || c.folder == kLockALink
                                  ? "~ptlock.tmp in " + dir + "/: another user's"
                              : c.folder == kLocked
                                  ? "process " + std::to_string(getpid()) + " (" + command + ")"
                                  : "";
    EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
    if (c.folder == kPayloadCut) {
      EXPECT_NE(r.err.find("\nlzcx: " + cut + ": changed while it was read\n"), std::string::npos)
          << r.err;
    }
    if (c.folder == kFull) {
      EXPECT_EQ(r.err, "lzcx: " + dir + "/: not enough free space: 1 MB more needed; nothing was "
                       "changed\n");
    }
    // The run's one log line (a usage error logs nothing).
    const std::string line = Slurp(log).substr(logged);
    if (!c.log) {
      EXPECT_EQ(line, "");
      continue;
    }
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    if (c.status != 3 || c.args[0] != "--find-in") {
      std::string quoted = " dir=\"";
      for (char ch : dir + "/") quoted += ch == '"' ? std::string("\\\"") : std::string(1, ch);
      EXPECT_NE(line.find(quoted + "\" "), std::string::npos) << line;
    }
    EXPECT_NE(line.find(c.log), std::string::npos) << line;
  }
}

// --find-in on trees of installations: what the search takes for one, what
// a delta patch counts, and what a run patches: the one installation
// found, or each with --all; several, none, or a search cut short by its
// time-out patch nothing anywhere.
TEST_F(PackCli, FindKnowsWhatItFound) {
  // The release before and this one: vusk.exe and orvcore.dll, a little
  // changed; a full payload and a delta one of it.
  const Bytes old_exe = Program(30), new_exe = Program(31), old_dll = TextLike(6000, 32);
  Bytes new_dll = old_dll, modified_dll = old_dll;
  for (size_t i = 50; i < new_dll.size(); i += 900) new_dll[i] ^= 0x20;
  modified_dll[3000] ^= 1;
  ScratchDir before, release;
  for (const auto& file : {std::make_pair(&before, &old_exe), std::make_pair(&release, &new_exe)})
    ASSERT_TRUE(WriteFileBytes(file.first->Join("vusk.exe"), *file.second));
  ASSERT_TRUE(WriteFileBytes(before.Join("orvcore.dll"), old_dll));
  ASSERT_TRUE(WriteFileBytes(release.Join("orvcore.dll"), new_dll));
  const std::string full = dir_.Join("full.bin"), delta = dir_.Join("delta.bin");
  ASSERT_EQ(Lzcx({"pack", "-q", "-o", full, "-C", release.path()}).status, 0);
  ASSERT_EQ(Lzcx({"pack", "-q", "-o", delta, "--from", before.path(), "-C", release.path()})
                .status, 0);
  ASSERT_NE(Lzcx({"list", delta}).out.find("delta"), std::string::npos);

  enum State { kOld, kNew, kBogus, kModified, kInterrupted };
  struct Case {
    const char* what;
    std::vector<State> folders;
    std::vector<std::string> args;  // ROOT, DIR (the first folder), FULL and DELTA stand for paths
    int status;
    std::vector<bool> patched;
    int listed;        // installations listed on standard output
    const char* says;  // on standard error, when not patched
  };
  const std::vector<Case> cases = {
      {"a vusk.exe that is no program", {kBogus}, {"--find-in", "ROOT", "FULL"}, 3, {0}, 0,
       "not installed"},
      {"that one beside an installation", {kBogus, kOld}, {"--find-in", "ROOT", "FULL"}, 0, {0, 1},
       1, ""},
      {"two installations", {kOld, kOld}, {"--find-in", "ROOT", "FULL"}, 9, {0, 0}, 2,
       "several installations: name one with -C, or --all"},
      {"two, --all", {kOld, kNew}, {"--all", "--find-in", "ROOT", "FULL"}, 4, {1, 0}, 2, ""},
      {"two, one interrupted", {kOld, kInterrupted}, {"--find-in", "ROOT", "FULL"}, 9, {0, 0}, 2,
       "several installations"},
      {"--find-in a missing folder", {kOld}, {"--find-in", "ROOT/missing", "FULL"}, 2, {0}, 0,
       "missing: no such folder"},
      {"--find and --find-in", {kOld}, {"--find", "--find-in", "ROOT", "FULL"}, 2, {0}, 0,
       "alternatives"},
      {"delta, an old file modified", {kModified}, {"--find-in", "ROOT", "DELTA"}, 7, {0}, 0,
       "not counted"},
      {"delta, that one beside an installation", {kModified, kOld},
       {"--find-in", "ROOT", "DELTA"}, 0, {0, 1}, 1, ""},
      {"delta, up to date", {kNew}, {"--find-in", "ROOT", "DELTA"}, 4, {0}, 1, ""},
      {"cut short", {kOld}, {"--find-timeout", "0", "--find-in", "ROOT", "FULL"}, 9, {0}, 0,
       "cut short"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir root;
    std::vector<std::string> dirs;
    std::vector<std::vector<std::pair<std::string, Bytes>>> snapshots;
    for (size_t i = 0; i < c.folders.size(); ++i) {
      const State state = c.folders[i];
      const std::string dir = root.Join("site" + std::to_string(i) + "/Vusk");
      ASSERT_TRUE(MakeDirectory(root.Join("site" + std::to_string(i))) && MakeDirectory(dir));
      const bool current = state == kNew;
      ASSERT_TRUE(WriteFileBytes(dir + "/Vusk.exe", state == kBogus ? Str(std::string("MZ\x90\0\3\0\0\0", 8))
                                                    : current ? new_exe : old_exe));
      ASSERT_TRUE(WriteFileBytes(dir + "/orvcore.dll", current ? new_dll
                                                       : state == kModified ? modified_dll : old_dll));
      if (state == kInterrupted) {
        ASSERT_TRUE(WriteFileBytes(dir + "/" + kJournalName,
                                   MakeJournal(kPhaseStaging, {{0, 0, "vusk.exe", {}, nullptr}})));
      }
      dirs.push_back(dir);
      snapshots.push_back(Snapshot(dir));
    }
    std::vector<std::string> args = {"extract"};
    for (const std::string& a : c.args)
      args.push_back(a == "ROOT" ? root.path() : a == "ROOT/missing" ? root.Join("missing")
                     : a == "DIR" ? dirs[0] : a == "FULL" ? full : a == "DELTA" ? delta : a);
    const Result r = Lzcx(args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    if (*c.says) {
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    int listed = 0;
    // A line per installation: its folder, and the mark of an interrupted patch.
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) {
      const std::string line = r.out.substr(at, end - at);
      listed += line.find(root.Join("site")) == 0 && line.find(": ") == std::string::npos;
    }
    EXPECT_EQ(listed, c.listed) << r.out;
    for (size_t i = 0; i < dirs.size(); ++i) {
      if (c.patched[i]) {
        EXPECT_TRUE(Str(Slurp(dirs[i] + "/Vusk.exe")) == new_exe) << dirs[i];
        EXPECT_TRUE(Str(Slurp(dirs[i] + "/orvcore.dll")) == new_dll) << dirs[i];
      } else {
        EXPECT_TRUE(Snapshot(dirs[i]) == snapshots[i]) << dirs[i];
      }
      if (c.folders[i] == kInterrupted) {
        EXPECT_NE(r.out.find(dirs[i] + "/\t(an interrupted patch)\n"), std::string::npos) << r.out;
      }
    }
  }
}

// --log -v: a line per file besides the run's, each file's path as it is
// on the disk; "written" counts files written only, "removed" the old
// release's files removed.
TEST_F(PackCli, ExtractLogsEachFileAndTheOutcome) {
  const std::string exe = Write("vusk.exe", RealExecutable(5000));
  const std::string notes = Write("notes.txt", Str("the same in both"));
  ScratchDir old_release;
  ASSERT_TRUE(WriteFileBytes(old_release.Join("retired.txt"), Str("retired")));
  ASSERT_EQ(Lzcx({"pack", "-q", "--from", old_release.path(), "--remove", "retired.txt", "-o",
                  Payload(), exe, notes}).status, 0);
  ScratchDir target;
  ASSERT_TRUE(WriteFileBytes(target.Join("VUSK.EXE"), Str("old")));
  ASSERT_TRUE(WriteFileBytes(target.Join("notes.txt"), Str("the same in both")));
  ASSERT_TRUE(WriteFileBytes(target.Join("retired.txt"), Str("retired")));
  const std::string log = dir_.Join("patch.log");
  ASSERT_TRUE(WriteFileBytes(log, Str("earlier\n")));
  EXPECT_EQ(Lzcx({"extract", "-v", "--log", log, "-C", target.path(), Payload()}).status, 0);
  EXPECT_EQ(Lzcx({"extract", "-v", "--log", log, "-C", target.path(), Payload()}).status, 4);
  const std::string d = target.path();  // ends in a separator
  const std::vector<std::string> expected = {
      "earlier",
      "file=" + d + "VUSK.EXE action=written",
      "file=" + d + "notes.txt action=unchanged",
      "file=" + d + "retired.txt action=removed",
      "patcher=payload.bin version=none dir=" + d +
          " status=0 word=patched written=1 unchanged=1 removed=1 recovered=none",
      "patcher=payload.bin version=none dir=" + d +
          " status=4 word=up-to-date written=0 unchanged=0 removed=0 recovered=none why=\"" + d +
          ": already up to date, nothing written\"",
  };
  const std::string lines = Slurp(log);
  size_t at = 0;
  for (const std::string& line : expected) {
    const size_t end = lines.find('\n', at);
    ASSERT_NE(end, std::string::npos) << lines;
    std::string got = lines.substr(at, end - at);
    at = end + 1;
    char z = 0;  // time=YYYY-MM-DDTHH:MM:SSZ, UTC
    if (line != "earlier") {
      EXPECT_EQ(sscanf(got.c_str(), "time=%*4d-%*2d-%*2dT%*2d:%*2d:%*2d%c ", &z), 1) << got;
      EXPECT_EQ(z, 'Z');
      got = got.substr(got.find(' ') + 1);
    }
    EXPECT_EQ(got, line);
  }
  EXPECT_EQ(at, lines.size()) << lines;
  EXPECT_EQ(target.Names(), (std::vector<std::string>{"VUSK.EXE", "notes.txt"}));
}

TEST_F(PayloadCli, UsageAndMissingFiles) {
  const std::string p = Save(MakeContainer({{"vusk.exe", 0, Str("x")}}));
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"frob"}, {"list"}, {"list", p, p},
                                             {"extract", p}, {"extract", p, "-C"},
                                             {"list", "-x", p}, {"recover"},
                                             {"recover", "-C"}, {"recover", p}}) {
    Result r = Lzcx(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("usage:"), std::string::npos);
  }
  Result help = Lzcx({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: lzcx COMMAND"), std::string::npos) << help.out;
  ExpectRefused(Lzcx({"verify", files_.Join("missing.bin")}), "missing.bin");
}

// lzcx patcher on a hand-laid stub, and list, verify and extract on what
// it makes.
class PatcherCli : public PackCli {
 protected:
  void SetUp() override {
    TestPeLayout stub;
    stub.plus = true;
    stub.forms = std::vector<uint16_t>{FORM_STORED, FORM_BLOCK, FORM_DELTA, FORM_STRONG};
    stub_ = Write("stub.exe", MakeTestPatcher(stub).image);
    program_bytes_ = MakeTestPatcher(TestPeLayout()).image;
    program_ = Write("Vusk-1.25.exe", program_bytes_);
    help_ = Write("vusk.hlp", TextLike(3000, 5));
  }
  std::string Out() const { return dir_.Join("out.exe"); }

  std::string stub_, program_, help_;
  Bytes program_bytes_;
};

TEST_F(PatcherCli, MakesAPatcherOfThePackedFilesThatTheOtherCommandsRead) {
  Result r = Lzcx(
      {"patcher", "--stub", stub_, "--name", "vusk.exe=" + program_, "-o", Out(), program_, help_});
  ASSERT_EQ(r.status, 0) << r.err;
  // One line per file, as pack prints them, and one for the patcher.
  EXPECT_EQ(r.ErrLines(), 3) << r.err;
  EXPECT_NE(r.err.find(Out() + ": "), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");

  // Its payload is exactly what pack makes of the same arguments.
  ASSERT_EQ(
      Lzcx({"pack", "--quiet", "--name", "vusk.exe=" + program_, "-o", Payload(), program_, help_})
          .status,
      0);
  Bytes exe, packed;
  ASSERT_TRUE(ReadFileBytes(Out(), &exe));
  ASSERT_TRUE(ReadFileBytes(Payload(), &packed));
  const uint8_t* data = nullptr;
  size_t size = 0;
  std::string why;
  ASSERT_TRUE(FindPayloadResource(exe.data(), exe.size(), &data, &size, &why)) << why;
  EXPECT_TRUE(Bytes(data, data + size) == packed);

  EXPECT_EQ(Lzcx({"list", Out()}).out, Lzcx({"list", Payload()}).out);
  Result v = Lzcx({"verify", Out()});
  EXPECT_EQ(v.status, 0) << v.err;
  EXPECT_EQ(v.out.find(Out() + ": ok, 2 entries"), 0u) << v.out;
  ScratchDir target;
  ASSERT_EQ(Lzcx({"extract", "--force", Out(), "-C", target.path()}).status, 0);
  EXPECT_EQ(target.Names(), (std::vector<std::string>{"vusk.exe", "vusk.hlp"}));
  Bytes b;
  ASSERT_TRUE(ReadFileBytes(target.Join("vusk.exe"), &b));
  EXPECT_TRUE(b == program_bytes_);
}

// The checksum over the whole patcher: damage outside the payload (a bit
// in the code, in the DOS header, a cut into the relocations) is refused
// by list and verify; a certificate table appended as a signing tool does
// it, checksum updated, is read and said.
TEST_F(PatcherCli, DamageAnywhereInAPatcherIsRefusedAndASignatureIsSaid) {
  ASSERT_EQ(Lzcx({"patcher", "--quiet", "--stub", stub_, "--name", "vusk.exe=" + program_, "-o",
                  Out(), program_})
                .status,
            0);
  Bytes made;
  ASSERT_TRUE(ReadFileBytes(Out(), &made));
  TestPeLayout plus;  // the stub's shape, for where its fields are
  plus.plus = true;
  const TestPe layout = MakeTestPatcher(plus);
  Bytes code = made, header = made, cut(made.begin(), made.end() - 4);
  code.at(0x200) ^= 0x10;  // the stub's code: its first instruction
  header.at(0x30) ^= 0x01;
  for (const Bytes* damaged : {&code, &header, &cut}) {
    const std::string path = Write("damaged.exe", *damaged);
    for (const char* command : {"list", "verify"}) {
      Result r = Lzcx({command, path});
      EXPECT_EQ(r.status, 1) << command << ": " << r.out;
      EXPECT_NE(r.err.find("checksum"), std::string::npos) << r.err;
    }
  }
  Bytes signed_copy = made;
  const size_t directories = layout.directories, checksum = layout.optional_header + 64;
  signed_copy.resize((signed_copy.size() + 7) & ~size_t{7});
  WriteLe32(&signed_copy[directories + 8 * 4], static_cast<uint32_t>(signed_copy.size()));
  WriteLe32(&signed_copy[directories + 8 * 4 + 4], 64);
  const Bytes certificate = RandomBytes(64, 9);
  signed_copy.insert(signed_copy.end(), certificate.begin(), certificate.end());
  WriteLe32(&signed_copy[checksum], PeChecksum(signed_copy.data(), signed_copy.size(), checksum));
  const std::string path = Write("signed.exe", signed_copy);
  Result v = Lzcx({"verify", path}), unsigned_v = Lzcx({"verify", Out()});
  EXPECT_EQ(v.status, 0) << v.err;
  EXPECT_NE(v.out.find(path + ": signed"), std::string::npos) << v.out;
  EXPECT_EQ(unsigned_v.out.find("signed"), std::string::npos) << unsigned_v.out;
  EXPECT_NE(Lzcx({"list", path}).out.find(path + ": signed"), std::string::npos);
}

// Bad input: exit 1, one line naming the problem, the directory as it was.
TEST_F(PatcherCli, RefusesWhatPackRefusesAndBadStubsOrPrograms) {
  const std::string text = Write("notes.txt", TextLike(500, 6));
  const std::string plain_vusk = Write("vusk.exe", TextLike(500, 7));
  TestPeLayout layout;
  layout.payload = RandomBytes(10, 1);
  TestPe damaged = MakeTestPatcher(layout);
  WriteLe32(damaged.image.data() + damaged.payload_data_entry + 4, 0xFFFFFF00);
  const std::string broken = Write("broken.exe", damaged.image);
  TestPe renamed = MakeTestPatcher(TestPeLayout());
  renamed.image[renamed.type_name + 2] = 'X';  // "FXLE"
  const std::string no_payload = Write("nopayload.exe", renamed.image);
  const std::string vusk = "vusk.exe=" + program_;
  ExpectRefused(
      "patcher",
      {
          {"program not first",
           {"--stub", stub_, "--name", vusk, "-o", Out(), help_, program_},
           "must be named vusk.exe"},
          {"program not named", {"--stub", stub_, "-o", Out(), program_}, "--name vusk.exe=FILE"},
          {"program not an executable",
           {"--stub", stub_, "-o", Out(), plain_vusk},
           "not a Windows executable"},
          {"missing file",
           {"--stub", stub_, "--name", vusk, "-o", Out(), program_, dir_.Join("gone.dll")},
           "gone.dll"},
          {"stub missing",
           {"--stub", dir_.Join("gone.exe"), "--name", vusk, "-o", Out(), program_},
           "gone.exe"},
          {"stub not an executable",
           {"--stub", text, "--name", vusk, "-o", Out(), program_},
           "not a Windows executable"},
          {"stub without a payload",
           {"--stub", no_payload, "--name", vusk, "-o", Out(), program_},
           "no payload resource"},
          {"output is the stub",
           {"--stub", stub_, "--name", vusk, "-o", stub_, program_},
           "overwrite"},
          {"output is the program",
           {"--stub", stub_, "--name", vusk, "-o", program_, program_},
           "overwrite"},
      });
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"patcher", "-o", Out(), program_},
           {"patcher", "--stub", stub_, program_},
           {"patcher", "--stub", stub_, "--stub", stub_, "-o", Out(), program_}}) {
    Result r = Lzcx(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("usage: lzcx patcher"), std::string::npos) << r.err;
  }
  // The commands that read payloads refuse a damaged patcher, naming it.
  for (const char* command : {"list", "verify", "extract"}) {
    ScratchDir target;
    std::vector<std::string> args = {command, broken};
    if (std::string(command) == "extract") args.insert(args.end(), {"-C", target.path()});
    Result r = Lzcx(args);
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_EQ(r.ErrLines(), 1) << r.err;
    EXPECT_EQ(r.err.find("lzcx: " + broken + ": damaged executable"), 0u) << r.err;
    EXPECT_TRUE(target.Names().empty());
  }
}

// A stub reads the forms it records (stored and block without a record):
// lzcx patcher refuses to put a payload of other forms into it, and verify
// refuses such a patcher (the payload put in by hand), naming the form and
// an entry. lzcx makes no stored entries: that payload is made here.
TEST_F(PatcherCli, PayloadFormsAStubCannotReadAreRefused) {
  TestPeLayout reads_all;
  reads_all.forms = std::vector<uint16_t>{0, 1, 2, 18};
  ScratchDir old_dir, older_dir;
  ASSERT_TRUE(WriteFileBytes(old_dir.Join("vusk.exe"), program_bytes_));
  Bytes changed = program_bytes_, older = program_bytes_;
  changed.at(0x200) ^= 0x55;
  older.at(0x300) ^= 0x33;
  ASSERT_TRUE(WriteFileBytes(older_dir.Join("vusk.exe"), older));
  const std::string all_stub = Write("all.exe", MakeTestPatcher(reads_all).image);
  struct Payload {
    std::vector<std::string> args;  // lzcx patcher's files; none: `bytes` made here
    Bytes bytes;
  } payloads[] = {{{"--form", "block", "--name", "vusk.exe=" + program_, program_}, {}},
                  {{"--form", "block", "--from", old_dir.path(), Write("vusk.exe", changed), help_},
                   {}},  // delta
                  {{}, MakeContainer({{"vusk.exe", 1, GreedyBlock(program_bytes_)},
                                      {"notes.txt", 0, TextLike(100, 1)}})},
                  {{"--form", "block", "--from", old_dir.path(), "--from", older_dir.path(),
                    Write("vusk.exe", changed), help_},
                   {}}};  // two bases
  const char* const bases = "bases (a payload made from several old releases)";
  struct Case {
    std::optional<std::vector<uint16_t>> record;
    const char* refused[4];  // per payload: what the refusal names, or none
  } cases[] = {
      {std::nullopt, {nullptr, "delta entries (vusk.exe is one)", nullptr, bases}},
      {std::vector<uint16_t>{0}, {"block entries (vusk.exe is one)",
                                  "delta entries (vusk.exe is one)",
                                  "block entries (vusk.exe is one)", bases}},
      {std::vector<uint16_t>{1, 2}, {nullptr, nullptr, "stored entries (notes.txt is one)", bases}},
      {std::vector<uint16_t>{0, 1, 2, 9}, {nullptr, nullptr, nullptr, bases}},
      {std::vector<uint16_t>{1, 2, 18}, {nullptr, nullptr, "stored entries (notes.txt is one)",
                                         nullptr}},
  };
  for (Payload& p : payloads) {
    std::vector<std::string> made = {"patcher", "-q", "--stub", all_stub, "-o", Out()};
    made.insert(made.end(), p.args.begin(), p.args.end());
    const uint8_t* data;
    size_t size;
    std::string why;
    if (p.bytes.empty()) {
      const Result packed = Lzcx(made);
      ASSERT_EQ(packed.status, 0) << made[7] << packed.err;
      Bytes full;
      ASSERT_TRUE(ReadFileBytes(Out(), &full));
      ASSERT_TRUE(FindPayloadResource(full.data(), full.size(), &data, &size, &why)) << why;
      p.bytes.assign(data, data + size);
    }
    for (const Case& c : cases) {
      const char* refused = c.refused[&p - payloads];
      SCOPED_TRACE(testing::Message() << "payload " << &p - payloads << ", case " << &c - cases);
      TestPeLayout layout;
      layout.forms = c.record;
      const Bytes stub_image = MakeTestPatcher(layout).image;
      Bytes patcher;
      ASSERT_TRUE(ReplacePayloadResource(stub_image.data(), stub_image.size(), p.bytes.data(),
                                         p.bytes.size(), &patcher, &why)) << why;
      made[3] = Write("formed.exe", stub_image);
      made[5] = dir_.Join("out-" + std::to_string(&p - payloads) + std::to_string(&c - cases));
      const std::string manual = Write("by-hand.exe", patcher);
      const std::string uses = refused ? std::string(": the payload uses ") + refused + ", " : "";
      const Result v = Lzcx({"verify", manual});
      EXPECT_EQ(v.status, refused ? 1 : 0);
      EXPECT_EQ(v.err, refused ? "lzcx: " + manual + uses + "which its program cannot read\n" : "");
      if (p.args.empty()) continue;
      const Result r = Lzcx(made);
      EXPECT_EQ(r.status, refused ? 1 : 0);
      EXPECT_EQ(r.err, refused ? "lzcx: " + made[3] + uses + "which this stub cannot read\n" : "");
      EXPECT_EQ(access(made[5].c_str(), F_OK) == 0, !refused);
    }
  }
}

// The name rule as the commands apply it (pack_test goes through the whole
// table in-process): a device name refused by pack, a name that is not
// UTF-8 by verify, two names that are one file on Windows by pack.
TEST_F(PayloadCli, NamesAsTheRuleJudgesThem) {
  const std::string file = files_.Join("file.txt");
  ASSERT_TRUE(WriteFileBytes(file, Str("content")));
  ExpectRefused(Lzcx({"pack", "--name", "CONIN$=" + file, "-o", files_.Join("a.bin"), file}),
                NameVerdictText(kNameDevice));
  ExpectRefused(Lzcx({"pack", "--name", "\xc3\xa9.txt=" + file, "-o", files_.Join("a.bin"), file}),
                "8-bit calls, whose code page differs between Windows versions): --name "
                "NAME=FILE gives it an ASCII name");
  ExpectRefused(Lzcx({"verify", Save(MakeContainer({{"\xff\xfe", 0, Str("x")}}))}),
                "(\\xff\\xfe): neither ASCII nor UTF-8");
  EXPECT_EQ(Lzcx({"verify", Save(MakeContainer({{"\xc3\xa9.txt", 0, Str("x")}}))}).status, 0);
  const std::string other = files_.Join("other.txt");
  ASSERT_TRUE(WriteFileBytes(other, Str("other")));
  Result r = Lzcx({"pack", "--name", "vusk.EXE=" + file, "--name", "VUSK.exe=" + other, "-o",
                   files_.Join("same.bin"), file, other});
  ExpectRefused(r, "same file");
  EXPECT_EQ(access(files_.Join("a.bin").c_str(), F_OK), -1);
}

// What is not a payload gets one line saying so, whatever it is; a payload
// without a trailer is taken and said to carry no checksums; a packed one
// with one damaged byte is refused without touching the directory.
TEST_F(PayloadCli, WhatItIsGiven) {
  ExpectRefused(Lzcx({"verify", "/dev/zero"}), "/dev/zero: not a regular file");
  ExpectRefused(Lzcx({"list", files_.path()}), "is a directory");
  const std::string fifo = files_.Join("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // No input waits on a FIFO: a payload, a file to pack, a stub.
  ExpectRefused(Lzcx({"verify", fifo}), "not a regular file");
  ExpectRefused(Lzcx({"pack", "-o", files_.Join("out.bin"), fifo}), "not a regular file");
  ExpectRefused(Lzcx({"patcher", "--stub", fifo, "-o", files_.Join("out.exe"), fifo}),
                "not a regular file");
  const std::string huge = files_.Join("huge.bin");
  {
    int fd = open(huge.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kMaxPayloadSize + 1)), 0);
    close(fd);
  }
  ExpectRefused(Lzcx({"verify", huge}), "too large for a payload");
  for (const Bytes& not_payload : {Str("just some text\n"), RealExecutable(5000), Bytes{}}) {
    const std::string p = Save(not_payload);
    for (const char* command : {"list", "verify"})
      ExpectRefused(Lzcx({command, p}), p + ": neither a payload nor a patcher");
  }

  const std::string old = Save(MakeContainer({{"vusk.exe", 1, GreedyBlock(TextLike(900, 1))}}));
  Result r = Lzcx({"verify", old});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("no checksums"), std::string::npos) << r.out;
  r = Lzcx({"list", old});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\nno checksums"), std::string::npos) << r.out;

  const std::string text = files_.Join("vusk.hlp");
  ASSERT_TRUE(WriteFileBytes(text, TextLike(4000, 2)));
  const std::string packed = files_.Join("packed.bin");
  ASSERT_EQ(Lzcx({"pack", "--quiet", "-o", packed, text}).status, 0);
  for (const char* command : {"list", "verify"}) {
    r = Lzcx({command, packed});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("every entry matches its CRC-32C"), std::string::npos) << r.out;
  }
  Bytes damaged;
  ASSERT_TRUE(ReadFileBytes(packed, &damaged));
  damaged[damaged.size() / 2] ^= 0x04;
  const std::string bad = Save(damaged);
  ExpectRefused(Lzcx({"verify", bad}), "entry 1 (vusk.hlp): checksum does not match");
  ScratchDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.Join("vusk.hlp"), Str("old")));
  ExpectRefused(Lzcx({"extract", "--force", bad, "-C", dir.path()}), "checksum does not match");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"vusk.hlp"});
  EXPECT_EQ(Slurp(dir.Join("vusk.hlp")), "old");
}

// lzcx under a ceiling on its address space, from just above what it needs
// to start up to what a pack needs: wherever an allocation fails, the
// result is one line on stderr and exit status 1, with nothing written;
// never a crash. (Sanitizers reserve far more address space than any
// ceiling here, so these builds skip it.)
// pack -C and patcher -C: every file below a folder by its path, the
// program first; what a tree may not hold; and --from by path, whose old
// files the tree lacks become removals. TREE, OLD, OUT and STUB stand for
// the paths; each case gets a tree of its own, in a new place.
TEST_F(PatcherCli, PacksAFolderTreeByPath) {
  const std::string long_name = "data/maps/" + std::string(60, 'm') + ".map";
  const Bytes help = TextLike(4000, 3), map = TextLike(9000, 4);
  TestPeLayout reads_paths;  // a stub whose program applies paths and removals
  reads_paths.plus = true;
  reads_paths.forms = std::vector<uint16_t>{FORM_STORED, FORM_BLOCK, FORM_DELTA, FORM_STRONG, FORM_PATHS,
                                            FORM_REMOVALS};
  const std::string stub = Write("paths.exe", MakeTestPatcher(reads_paths).image);
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> extra;  // path, what ("dir", "link")
    std::vector<std::string> args;
    int status;
    std::string err;     // part of stderr
    std::string listed;  // part of list's rows, for status 0
  };
  const std::vector<Case> cases = {
      {"subfolders and a long name", {}, {"pack", "-C", "TREE", "-o", "OUT"}, 0,
       "vusk.exe: ", long_name + " "},
      {"an empty folder, skipped", {{"data/empty", "dir"}},
       {"pack", "-C", "TREE", "-o", "OUT"}, 0, "data/empty/: an empty folder, skipped\n",
       "data/help.txt "},
      {"a link", {{"data/link.txt", "link"}}, {"pack", "-C", "TREE", "-o", "OUT"}, 1,
       "data/link.txt: a link", ""},
      {"paths equal but for case", {{"data/HELP.TXT", "file"}},
       {"pack", "-C", "TREE", "-o", "OUT"}, 1, "are the same file on the target system", ""},
      {"folders equal but for case", {{"Data", "dir"}, {"Data/x.txt", "file"}},
       {"pack", "-C", "TREE", "-o", "OUT"}, 1, "one folder on the target system", ""},
      {"a file and a folder equal but for case", {{"DATA", "file"}},
       {"pack", "-C", "TREE", "-o", "OUT"}, 1, "one name on the target system", ""},
      {"a name the rule refuses", {{"data/con.txt", "file"}},
       {"pack", "-C", "TREE", "-o", "OUT"}, 1, "con.txt", ""},
      {"patcher", {}, {"patcher", "--stub", "STUB", "-C", "TREE", "-o", "OUT"}, 0, "", ""},
      {"patcher without the program", {{"vusk.exe", "gone"}},
       {"patcher", "--stub", "STUB", "-C", "TREE", "-o", "OUT"}, 1, "no vusk.exe at its top", ""},
      {"--from: a dropped file removed", {}, {"pack", "--from", "OLD", "-C", "TREE", "-o", "OUT"},
       0, "DATA/old.dll: removed (700 bytes)\n", "DATA/old.dll "},
      {"--from: old files found by path, any case", {},
       {"pack", "--from", "OLD", "-C", "TREE", "-o", "OUT"}, 0,
       "(delta from 8000 bytes)", "data/maps/a.map "},
      {"--remove of a file not in OLD_DIR", {},
       {"pack", "--from", "OLD", "--remove", "data/none.dll", "-C", "TREE", "-o", "OUT"}, 1,
       "--remove data/none.dll: no such file", ""},
      {"--remove of a file the tree has", {},
       {"pack", "--from", "OLD", "--remove", "DATA/HELP.TXT", "-C", "TREE", "-o", "OUT"}, 1,
       "the new release has it", ""},
      {"-C and files", {}, {"pack", "-C", "TREE", "-o", "OUT", "TREE"}, 2, "no files besides", ""},
      {"--remove without --from", {}, {"pack", "--remove", "a", "-C", "TREE", "-o", "OUT"}, 2,
       "--remove needs --from", ""},
  };
  Bytes first;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir tree, old;
    ASSERT_TRUE(MakeDirectory(tree.Join("data")) && MakeDirectory(tree.Join("data/maps")));
    ASSERT_TRUE(WriteFileBytes(tree.Join("vusk.exe"), program_bytes_));
    ASSERT_TRUE(WriteFileBytes(tree.Join("data/help.txt"), help));
    ASSERT_TRUE(WriteFileBytes(tree.Join("data/maps/a.map"), map));
    ASSERT_TRUE(WriteFileBytes(tree.Join(long_name), map));
    ASSERT_TRUE(MakeDirectory(old.Join("DATA")) && MakeDirectory(old.Join("DATA/maps")));
    ASSERT_TRUE(WriteFileBytes(old.Join("vusk.exe"), program_bytes_));
    ASSERT_TRUE(WriteFileBytes(old.Join("DATA/maps/a.map"), TextLike(8000, 4)));
    ASSERT_TRUE(WriteFileBytes(old.Join("DATA/old.dll"), RandomBytes(700, 5)));
    ASSERT_TRUE(WriteFileBytes(old.Join("DATA/Help.txt"), help));
    for (const auto& x : c.extra) {
      const std::string path = tree.Join(x.first);
      ASSERT_TRUE(x.second == "dir"    ? MakeDirectory(path)
                  : x.second == "link" ? symlink(help_.c_str(), path.c_str()) == 0
                  : x.second == "gone" ? unlink(path.c_str()) == 0
                                       : WriteFileBytes(path, help));
    }
    const std::string out = dir_.Join("tree.out");
    unlink(out.c_str());
    std::vector<std::string> args;
    for (const std::string& a : c.args)
      args.push_back(a == "TREE" ? tree.path() : a == "OLD" ? old.path() : a == "OUT" ? out
                     : a == "STUB" ? stub : a);
    Result r = Lzcx(args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    if (c.status) {
      if (c.status == 1) {
        EXPECT_EQ(r.ErrLines(), 1) << r.err;
      }
      EXPECT_EQ(access(out.c_str(), F_OK), -1) << "written after a refusal";
      continue;
    }
    Result list = Lzcx({"list", out});
    ASSERT_EQ(list.status, 0) << list.err;
    const std::string rows = Rows(list.out);
    EXPECT_EQ(rows.find("vusk.exe "), 0u) << rows;
    EXPECT_NE(rows.find(c.listed), std::string::npos) << rows;
    // --json gives every entry the same keys, whatever its form.
    Result json = Lzcx({"list", "--json", out});
    std::istringstream lines(json.out);
    int entries = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.compare(0, 3, "  {") != 0) continue;
      std::string keys;
      for (size_t at = 0; (at = line.find("\": ", at)) != std::string::npos; at += 3)
        keys += line.substr(line.rfind('"', at - 1) + 1, at - line.rfind('"', at - 1) - 1) + " ";
      EXPECT_EQ(keys, "name form compressed expanded packed old group ") << line;
      ++entries;
    }
    // (The rows end with the checksums' line.)
    EXPECT_EQ(entries, static_cast<int>(std::count(rows.begin(), rows.end(), '\n')) - 1)
        << json.out;
    Bytes made;
    ASSERT_TRUE(ReadFileBytes(out, &made));
    if (c.args[0] == "patcher" || c.args[1] == "--from") continue;
    // The base tree again (another folder, skipped folders aside): the same bytes.
    if (first.empty()) first = made;
    EXPECT_TRUE(made == first) << "another payload of the same tree";
  }

  // Refusals of such a tree's extract name the path in the installation
  // that refused, not a folder looked up on the way.
  const struct {
    const char* what;
    int status;
    std::string err;
  } refusals[] = {
      {"a read-only file in a subfolder", 8,
       "/DATA/maps/a.map: read-only: the patch cannot replace it\n"},
      {"a link for a folder", 1, "DATA/maps in "},
  };
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.what);
    ScratchDir tree, old;
    ASSERT_TRUE(MakeDirectory(tree.Join("data")) && MakeDirectory(tree.Join("data/maps")));
    ASSERT_TRUE(WriteFileBytes(tree.Join("vusk.exe"), program_bytes_));
    ASSERT_TRUE(WriteFileBytes(tree.Join("data/help.txt"), help));
    ASSERT_TRUE(WriteFileBytes(tree.Join("data/maps/a.map"), map));
    ASSERT_TRUE(MakeDirectory(old.Join("DATA")) && MakeDirectory(old.Join("DATA/maps")));
    ASSERT_TRUE(WriteFileBytes(old.Join("vusk.exe"), program_bytes_));
    ASSERT_TRUE(WriteFileBytes(old.Join("DATA/maps/a.map"), TextLike(8000, 4)));
    const std::string out = dir_.Join("tree.out");
    ASSERT_EQ(Lzcx({"pack", "-q", "--from", old.path(), "-C", tree.path(), "-o", out}).status, 0);
    if (c.status == 8) {
      ASSERT_EQ(chmod(old.Join("DATA/maps/a.map").c_str(), 0444), 0);
    } else {
      ASSERT_EQ(rename(old.Join("DATA/maps").c_str(), dir_.Join("elsewhere").c_str()), 0);
      ASSERT_EQ(symlink(dir_.Join("elsewhere").c_str(), old.Join("DATA/maps").c_str()), 0);
    }
    Result r = Lzcx({"extract", "-C", old.path(), out});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(r.ErrLines(), 1) << r.err;
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
TEST_F(PackCli, OutOfMemoryIsOneLine) { GTEST_SKIP() << "sanitizer build"; }
#else
Result LzcxWithin(rlim_t bytes, const std::vector<std::string>& args, const ScratchDir& capture) {
  const std::string out = capture.Join("stdout"), err = capture.Join("stderr");
  Result r = {-1, "", ""};
  const pid_t pid = fork();
  if (pid == 0) {
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    struct rlimit limit = {bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
    std::vector<char*> argv = {const_cast<char*>(kLzcx)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(kLzcx, argv.data());
    _exit(127);
  }
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    r.status = WEXITSTATUS(status);
  r.out = Slurp(out);
  r.err = Slurp(err);
  return r;
}

// The least address space in which lzcx starts at all.
rlim_t StartingAddressSpace(const ScratchDir& capture) {
  rlim_t base = 4 << 20;
  while (base < (rlim_t{256} << 20) && LzcxWithin(base, {"--help"}, capture).status != 0)
    base += 256 << 10;
  return base;
}

TEST_F(PackCli, OutOfMemoryIsOneLine) {
  ScratchDir capture;
  const rlim_t base = StartingAddressSpace(capture);
  ASSERT_LT(base, rlim_t{256} << 20);
  const std::string input = Write("vusk.exe", RealExecutable(1 << 20));
  const std::string packed = dir_.Join("packed.bin");
  ASSERT_EQ(Lzcx({"pack", "--quiet", "-o", packed, input}).status, 0);
  int failed = 0, passed = 0;
  for (rlim_t extra = 0; extra <= (rlim_t{6} << 20); extra += 384 << 10) {
    SCOPED_TRACE(std::to_string(extra >> 10) + " KB above the start");
    const std::string out = dir_.Join("out.bin");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"pack", "--quiet", "-o", out, input},
          std::vector<std::string>{"verify", packed}}) {
      Result r = LzcxWithin(base + extra, args, capture);
      ASSERT_TRUE(r.status == 0 || r.status == 1) << r.status << " " << r.err;
      if (r.status == 1) {
        ++failed;
        EXPECT_EQ(r.ErrLines(), 1) << r.err;
        EXPECT_NE(r.err.find("memory"), std::string::npos) << r.err;
      } else {
        ++passed;
      }
    }
    if (access(out.c_str(), F_OK) == 0) {
      EXPECT_EQ(Lzcx({"verify", out}).status, 0);
      unlink(out.c_str());
    }
    EXPECT_EQ(dir_.Names(), (std::vector<std::string>{"packed.bin", "vusk.exe"}));
  }
  // The ceilings reached both sides: failures on the way, success at last.
  EXPECT_GT(failed, 0);
  EXPECT_GT(passed, 0);
}

// A file twice the address space lzcx is given beyond its start: read,
// parsed (through a scratch file) and written in pieces. To standard
// output, for a file output is read back whole (CheckPacked).
TEST_F(PackCli, PacksAFileLargerThanItsMemory) {
  ScratchDir capture;
  const rlim_t base = StartingAddressSpace(capture);
  const size_t size = 24 << 20;
  Bytes big = TextLike(size, 9);
  const Bytes code = RealExecutable(1 << 20);
  std::copy(code.begin(), code.end(), big.begin() + size / 2);
  const std::string input = Write("big.bin", big);
  Result r = LzcxWithin(base + (12 << 20), {"pack", "--quiet", "--form", "block", "-o", "-", input},
                        capture);
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(rename(capture.Join("stdout").c_str(), dir_.Join("big.payload").c_str()), 0);
  ScratchDir out;
  Result x = Lzcx({"extract", "--force", dir_.Join("big.payload"), "-C", out.path()});
  ASSERT_EQ(x.status, 0) << x.err;
  Bytes b;
  ASSERT_TRUE(ReadFileBytes(out.Join("big.bin"), &b));
  EXPECT_TRUE(b == big);
}
#endif

}  // namespace
