// The built lzcx program, run as a patch author runs it: exit status, the
// lines on stderr, and what is (or is not) left on the disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lzcx/encoder.h"
#include "payload/journal.h"
#include "support/payload_builder.h"
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

Result Lzcx(const std::vector<std::string>& args) {
  ScratchDir capture;
  const std::string out = capture.Join("stdout"), err = capture.Join("stderr");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv = {const_cast<char*>(kLzcx)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  Result r = {-1, "", ""};
  pid_t pid;
  if (posix_spawn(&pid, kLzcx, &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  r.out = Slurp(out);
  r.err = Slurp(err);
  return r;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The first bytes of a real executable: this test program.
Bytes RealExecutable(size_t size) {
  Bytes all;
  if (!ReadFileBytes("/proc/self/exe", &all) || all.size() < size) return TextLike(size, 5);
  all.resize(size);
  return all;
}

// Everything in a directory, with the contents of its small files, to see
// that nothing changed.
std::vector<std::pair<std::string, Bytes>> Snapshot(const ScratchDir& dir) {
  std::vector<std::pair<std::string, Bytes>> all;
  for (const std::string& name : dir.Names()) {
    struct stat st;
    Bytes b;
    if (stat(dir.Join(name).c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size < (1 << 20))
      ReadFileBytes(dir.Join(name), &b);
    all.push_back({name, b});
  }
  return all;
}

class PackCli : public ::testing::Test {
 protected:
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
  // One line per file: name, size, packed size, ratio.
  EXPECT_EQ(r.ErrLines(), 4) << r.err;
  EXPECT_EQ(r.err.find("vusk.exe: 200000 -> "), 0u) << r.err;
  EXPECT_NE(r.err.find("\nvusk.hlp: 60000 -> "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\nempty.dat: 0 -> 16 bytes"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\nnoise.bin: 3000 -> 3016 bytes, 1.005 (stored)"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");

  Result list = Lzcx({"list", Payload()});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out.find("vusk.exe "), 0u) << list.out;
  EXPECT_LT(list.out.find("\nvusk.hlp "), list.out.find("\nempty.dat "));
  EXPECT_LT(list.out.find("\nempty.dat "), list.out.find("\nnoise.bin "));
  EXPECT_EQ(Lzcx({"verify", Payload()}).status, 0);

  ScratchDir out;
  Result x = Lzcx({"extract", Payload(), "-C", out.path()});
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

TEST_F(PackCli, NameOfTwentyNineCharactersIsTheLongest) {
  const std::string file = Write("a.txt", TextLike(100, 1));
  const std::string name29(29, 'n'), name30(30, 'n');
  Result r = Lzcx({"pack", "--name", name29 + "=" + file, "-o", Payload(), file});
  ASSERT_EQ(r.status, 0) << r.err;
  Result list = Lzcx({"list", Payload()});
  EXPECT_EQ(list.out.find(name29 + " "), 0u) << list.out;
  r = Lzcx({"pack", "--name", name30 + "=" + file, "-o", dir_.Join("other.bin"), file});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("longer than 29 characters"), std::string::npos) << r.err;
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

  struct Case {
    const char* what;
    std::vector<std::string> args;
    const char* says;  // part of the line on stderr
  } cases[] = {
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
      {"output's directory is missing", {"-o", dir_.Join("nowhere/p.bin"), good}, "nowhere"},
  };
  Write("payload.bin", Str("an old payload"));
  const auto before = Snapshot(dir_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {"pack"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Result r = Lzcx(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.ErrLines(), 1) << r.err;
    EXPECT_EQ(r.err.find("lzcx: "), 0u) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_TRUE(Snapshot(dir_) == before);
  }
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
  Result r = Lzcx({"pack", "--quiet", "-o", "p.bin", "--", "-dash.txt"});
  Result dashed = Lzcx({"pack", "--quiet", "-o", "q.bin", "-dash.txt"});
  ASSERT_TRUE(SetWorkingDirectory(cwd));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dashed.status, 2) << dashed.err;
  EXPECT_EQ(Lzcx({"list", dir_.Join("p.bin")}).out.find("-dash.txt "), 0u);
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
  EXPECT_EQ(r.out.find("vusk.exe "), 0u) << r.out;
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
    ExpectRefused(Lzcx({"extract", p, "-C", empty.path()}), name);
    EXPECT_TRUE(empty.Names().empty());
  }
}

// An interrupted patch: the journal `phase` with one step (temporary 0
// becomes vusk.exe, the old one went to backup 1), and the files left.
void Interrupted(const ScratchDir& dir, uint32_t phase, const std::vector<std::string>& files) {
  JournalStep step = {0, 1, "vusk.exe"};
  size_t size = 0;
  uint8_t* journal = EncodeJournal(phase, &step, 1, &size);
  ASSERT_TRUE(WriteFileBytes(dir.Join(kJournalName), Bytes(journal, journal + size)));
  free(journal);
  for (const std::string& name : files) ASSERT_TRUE(WriteFileBytes(dir.Join(name), Str(name)));
}

TEST_F(PayloadCli, RecoverFinishesOrUndoesAnInterruptedPatch) {
  ScratchDir dir;
  const std::string d = dir.path();
  Result r = Lzcx({"recover", "-C", d});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, d + ": no interrupted patch, nothing to do\n");
  // Swapped, not yet cleaned up: finished.
  Interrupted(dir, kPhaseCommit, {"vusk.exe", "~pt0001.tmp", "other.txt"});
  r = Lzcx({"recover", "-C", d});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, d + ": finished the interrupted patch\n");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"other.txt", "vusk.exe"}));
  // Half swapped: undone, the old file back under its name.
  RemoveTree(dir.Join("vusk.exe"));
  Interrupted(dir, kPhaseCommit, {"~pt0000.tmp", "~pt0001.tmp"});
  r = Lzcx({"recover", "-C", d});
  EXPECT_EQ(r.out, d + ": undid the interrupted patch\n");
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"other.txt", "vusk.exe"}));
  EXPECT_EQ(Slurp(dir.Join("vusk.exe")), "~pt0001.tmp");
  // A damaged journal: refused, by recover and by extract alike.
  Interrupted(dir, kPhaseStaging, {"~pt0000.tmp"});
  Bytes journal;
  ASSERT_TRUE(ReadFileBytes(dir.Join(kJournalName), &journal));
  journal[20] ^= 1;
  ASSERT_TRUE(WriteFileBytes(dir.Join(kJournalName), journal));
  const std::string p = Save(MakeContainer({{"vusk.exe", 0, Str("new")}}));
  ExpectRefused(Lzcx({"recover", "-C", d}), "damaged");
  ExpectRefused(Lzcx({"extract", p, "-C", d}), "damaged");
  EXPECT_EQ(dir.Names().size(), 4u);
  // Staging interrupted: extract removes the temporary, then patches.
  Interrupted(dir, kPhaseStaging, {"~pt0000.tmp"});
  r = Lzcx({"extract", p, "-C", d});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"other.txt", "vusk.exe"}));
  EXPECT_EQ(Slurp(dir.Join("vusk.exe")), "new");
}

TEST_F(PayloadCli, UsageAndMissingFiles) {
  const std::string p = Save(MakeContainer({{"vusk.exe", 0, Str("x")}}));
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {"frob"}, {"list"}, {"verify", p, p},
                                             {"extract", p}, {"extract", p, "-C"},
                                             {"list", "-x", p}, {"recover"},
                                             {"recover", "-C"}, {"recover", p}}) {
    Result r = Lzcx(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("usage:"), std::string::npos);
  }
  Result help = Lzcx({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("lzcx pack [--fast] [--quiet] [--name NAME=FILE]... -o PAYLOAD FILE..."),
            std::string::npos) << help.out;
  ExpectRefused(Lzcx({"verify", files_.Join("missing.bin")}), "missing.bin");
}

}  // namespace
