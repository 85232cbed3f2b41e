// A patcher made from two old releases (bases), applied by the built lzcx
// to installations of each, of a mix of both and of neither; what list
// shows of it; and the program's own road through the same plan.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include "payload/applier.h"
#include "payload/container.h"
#include "support/scratch.h"

namespace {

typedef std::vector<uint8_t> Bytes;

// Bytes that compress badly but change little from one release to the
// next: a file's own noise, with every 997th byte the release's.
Bytes Release(uint32_t seed, size_t size, uint8_t version) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1103515245u + 12345u;
    b[i] = i % 997 ? static_cast<uint8_t>(seed >> 16) : version;
  }
  return b;
}

// The files of a folder, by name, and their bytes.
typedef std::vector<std::pair<std::string, Bytes>> Tree;

Tree Read(const ScratchDir& dir) {
  Tree tree;
  for (const std::string& name : dir.Names()) {
    Bytes b;
    ReadFileBytes(dir.Join(name), &b);
    tree.push_back({name, b});
  }
  return tree;
}

void Write(const std::string& folder, const Tree& tree) {
  for (const auto& f : tree) ASSERT_TRUE(WriteFileBytes(folder + f.first, f.second)) << f.first;
}

struct Ran {
  int status;
  std::string out;
};

// lzcx with `args` (quoted), its standard output and exit status.
Ran Lzcx(const std::string& args) {
  Ran r = {-1, ""};
  FILE* p = popen((std::string("'") + LZCX_BINARY + "' " + args + " 2>/dev/null").c_str(), "r");
  if (!p) return r;
  char line[512];
  while (fgets(line, sizeof line, p)) r.out += line;
  const int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string Q(const std::string& path) { return "'" + path + "'"; }

class Bases : public ::testing::Test {
 protected:
  void SetUp() override {
    // vusk.exe and orvtext.dll differ in each release; orvcore.dll is the
    // same in 1.23 and 1.24; old.txt is 1.23's only.
    for (int v = 0; v < 3; ++v) {
      const uint8_t version = static_cast<uint8_t>(23 + v);
      trees_[v] = {{"orvcore.dll", Release(2, 30000, v == 2 ? 25 : 24)},
                   {"orvtext.dll", Release(3, 20000, version)},
                   {"vusk.exe", Release(1, 40000, version)}};
      if (v == 0) trees_[v].push_back({"old.txt", Release(4, 3000, 23)});
      std::sort(trees_[v].begin(), trees_[v].end());
      ASSERT_TRUE(MakeDirectory(root_.Join(kNames[v])));
      Write(Folder(v), trees_[v]);
    }
    payload_ = root_.Join("patch.bin");
    ASSERT_EQ(Lzcx("pack -q -o " + Q(payload_) + " -C " + Q(Folder(2)) + " --from " +
                   Q(Folder(0)) + " --from " + Q(Folder(1)))
                  .status,
              0);
  }
  std::string Folder(int v) const { return root_.Join(kNames[v]) + "/"; }

  static constexpr const char* kNames[3] = {"1.23", "1.24", "1.25"};
  ScratchDir root_;
  Tree trees_[3];
  std::string payload_;
};

TEST_F(Bases, EachInstallationTakesItsBaseAsAWhole) {
  // 1.23 but for 1.24's orvtext.dll.
  const Tree mix = {trees_[0][0], trees_[0][1], trees_[1][1], trees_[0][3]};
  Tree neither = trees_[1];
  neither[2].second[5] ^= 1;  // vusk.exe changed by hand
  const struct {
    const char* what;
    Tree installed;
    bool read_only;  // orvcore.dll: the commit cannot replace it
    int status;      // lzcx extract's
  } cases[] = {
      {"1.23", trees_[0], false, 0},
      {"1.24", trees_[1], false, 0},
      {"a mix of 1.23 and 1.24", mix, false, 7},
      {"neither", neither, false, 7},
      {"1.24 with a read-only file", trees_[1], true, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    Write(dir.path(), c.installed);
    if (c.read_only) {
      ASSERT_EQ(chmod(dir.Join("orvcore.dll").c_str(), 0444), 0);
    }
    const Tree before = Read(dir);
    EXPECT_EQ(Lzcx("extract -C " + Q(dir.path()) + " " + Q(payload_)).status, c.status);
    // Patched, the folder is 1.25 whatever it was; refused, as it was.
    EXPECT_EQ(Read(dir), c.status ? before : trees_[2]);
    if (c.read_only) chmod(dir.Join("orvcore.dll").c_str(), 0644);
  }

  // The program's road: the same plan, through the platform's own calls,
  // gives the old-file mismatch for neither base, and nothing is written.
  Bytes payload;
  ASSERT_TRUE(ReadFileBytes(payload_, &payload));
  const Tree* const installations[] = {&mix, &trees_[1]};
  for (const Tree* installed : installations) {
    ScratchDir dir;
    Write(dir.path(), *installed);
    FileOps ops;
    ApplyStatus status = kApplyFailed;
    const int applied = ApplyPayload(payload.data(), payload.size(), dir.path().c_str(), ops,
                                     nullptr, 0, &status);
    EXPECT_EQ(applied, installed != &mix);
    EXPECT_EQ(status, installed == &mix ? kApplyOldFileMismatch : kApplyPatched);
    EXPECT_EQ(Read(dir), installed == &mix ? mix : trees_[2]);
  }
}

TEST_F(Bases, ListShowsEachEntrysBasesAndAFileAlikeInBothOnce) {
  const Ran list = Lzcx("list " + Q(payload_));
  ASSERT_EQ(list.status, 0);
  EXPECT_EQ(list.out.find("made from 2 old releases (bases): 1.23 1.24\n"), 0u) << list.out;
  // name, form, then the bases at the end of the row.
  std::vector<std::string> rows;
  size_t at = list.out.find('\n', list.out.find("  bases\n") + 1);
  for (size_t next; (next = list.out.find('\n', at + 1)) != std::string::npos; at = next) {
    const std::string row = list.out.substr(at + 1, next - at - 1);
    if (row.find("every entry") == 0) break;
    char name[64], form[16];
    ASSERT_EQ(sscanf(row.c_str(), "%63s %15s", name, form), 2) << row;
    rows.push_back(std::string(name) + " " + form + " " + row.substr(row.rfind(' ') + 1));
  }
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (std::vector<std::string>{
                      "old.txt removal 1.23", "orvcore.dll delta every",
                      "orvtext.dll delta 1.23", "orvtext.dll delta 1.24",
                      "vusk.exe delta 1.23", "vusk.exe delta 1.24"}))
      << list.out;
  const Ran json = Lzcx("list --json " + Q(payload_));
  EXPECT_NE(json.out.find("\"bases\": [\"1.23\", \"1.24\"], \"entries\""), std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"name\": \"orvcore.dll\", \"form\": \"delta\""), std::string::npos);
}

TEST_F(Bases, PackRefusesMoreThanEightAndTwoOfOneName) {
  std::string froms;
  for (int i = 0; i < 9; ++i) froms += " --from " + Q(Folder(i % 2));
  const std::string pack = "pack -q -o " + Q(root_.Join("x.bin")) + " -C " + Q(Folder(2));
  EXPECT_EQ(Lzcx(pack + froms).status, 2);
  ASSERT_TRUE(MakeDirectory(root_.Join("again")));
  ASSERT_TRUE(MakeDirectory(root_.Join("again/1.23")));
  const std::string again = root_.Join("again/1.23");
  EXPECT_EQ(Lzcx(pack + " --from " + Q(Folder(0)) + " --from " + Q(again)).status, 1);
  EXPECT_EQ(Lzcx("verify " + Q(root_.Join("x.bin"))).status, 1);  // nothing written
}

}  // namespace
