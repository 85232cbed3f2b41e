// The icon the build makes from src/resources/icon.txt: an .ico with one
// 32 x 32, 16-colour image of 744 bytes whose pixels and mask are the map's,
// and mkicon refusing a malformed map.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scratch.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const int kTransparent = -1;

uint32_t Get16(const Bytes& b, size_t at) { return b.at(at) | b.at(at + 1) << 8; }
uint32_t Get32(const Bytes& b, size_t at) { return Get16(b, at) | Get16(b, at + 2) << 16; }

// The map's pixels, top row first, read here independently of mkicon.
std::vector<std::vector<int>> ReadMap(const std::string& path) {
  Bytes bytes;
  EXPECT_TRUE(ReadFileBytes(path, &bytes));
  std::string text(bytes.begin(), bytes.end()), line;
  std::vector<std::vector<int>> rows;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '#') continue;
    std::vector<int> row;
    for (char c : line) row.push_back(c == '.' ? kTransparent : std::stoi(std::string(1, c), nullptr, 16));
    rows.push_back(row);
  }
  return rows;
}

// Runs mkicon; its exit status, or -1 when it did not exit normally.
int RunMkicon(const std::string& arguments) {
  std::string command = std::string("'") + MKICON_PATH + "' " + arguments + " 2>/dev/null";
  int status = system(command.c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

std::string MapText(const std::vector<std::string>& rows, const char* newline = "\n") {
  std::string text;
  for (const std::string& row : rows) text += row + newline;
  return text;
}

std::vector<std::string> PlainRows() {
  std::vector<std::string> rows(32, std::string(16, '.') + "0123456789abcdeF");
  rows[5][3] = 'A';
  return rows;
}

bool WriteText(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  return fclose(f) == 0 && ok;
}

class IconFile : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ReadFileBytes(ICON_FILE_PATH, &icon_)); }
  Bytes icon_;
};

TEST_F(IconFile, HasOneDirectoryEntryForA744ByteImage) {
  ASSERT_EQ(icon_.size(), 6u + 16u + 744u);
  EXPECT_EQ(Get16(icon_, 0), 0u);  // reserved
  EXPECT_EQ(Get16(icon_, 2), 1u);  // an icon, not a cursor
  EXPECT_EQ(Get16(icon_, 4), 1u);  // one image
  EXPECT_EQ(icon_[6], 32);         // width
  EXPECT_EQ(icon_[7], 32);         // height
  EXPECT_EQ(icon_[8], 16);         // colours
  EXPECT_EQ(icon_[9], 0);
  EXPECT_EQ(Get16(icon_, 10), 1u);   // planes
  EXPECT_EQ(Get16(icon_, 12), 4u);   // bits per pixel
  EXPECT_EQ(Get32(icon_, 14), 744u);
  EXPECT_EQ(Get32(icon_, 18), 22u);  // offset of the image
}

TEST_F(IconFile, ImageHasTheBitmapHeaderAndTheStandardPalette) {
  ASSERT_EQ(icon_.size(), 766u);
  const size_t h = 22;
  EXPECT_EQ(Get32(icon_, h), 40u);
  EXPECT_EQ(Get32(icon_, h + 4), 32u);
  EXPECT_EQ(Get32(icon_, h + 8), 64u);  // colour bitmap and mask
  EXPECT_EQ(Get16(icon_, h + 12), 1u);
  EXPECT_EQ(Get16(icon_, h + 14), 4u);
  EXPECT_EQ(Get32(icon_, h + 16), 0u);  // uncompressed
  EXPECT_EQ(Get32(icon_, h + 32), 0u);  // colours used: all 16
  const uint32_t rgb[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                            0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                            0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
  for (int i = 0; i < 16; ++i) {
    const size_t at = h + 40 + 4 * i;  // blue, green, red, 0
    EXPECT_EQ(static_cast<uint32_t>(icon_[at + 2] << 16 | icon_[at + 1] << 8 | icon_[at]), rgb[i])
        << "colour " << i;
    EXPECT_EQ(icon_[at + 3], 0) << "colour " << i;
  }
}

TEST_F(IconFile, PixelsAndMaskAreTheMapsBottomUp) {
  ASSERT_EQ(icon_.size(), 766u);
  const std::vector<std::vector<int>> map = ReadMap(ICON_MAP_PATH);
  ASSERT_EQ(map.size(), 32u);
  const size_t colours = 22 + 40 + 64, mask = colours + 512;
  int transparent = 0;
  std::vector<bool> used(16);
  for (int y = 0; y < 32; ++y) {
    ASSERT_EQ(map[y].size(), 32u) << "row " << y;
    const int stored = 31 - y;  // rows are stored bottom-up
    for (int x = 0; x < 32; ++x) {
      const uint8_t pair = icon_[colours + stored * 16 + x / 2];
      const int colour = x % 2 ? pair & 15 : pair >> 4;
      const bool masked = icon_[mask + stored * 4 + x / 8] & (0x80 >> x % 8);
      const int want = map[y][x];
      EXPECT_EQ(masked, want == kTransparent) << x << "," << y;
      // Transparent pixels are black, so the screen shows through unchanged.
      EXPECT_EQ(colour, want == kTransparent ? 0 : want) << x << "," << y;
      if (want == kTransparent) ++transparent; else used[want] = true;
    }
  }
  // Artwork, not a blank: a shape on a transparent ground, in several colours.
  EXPECT_GT(transparent, 0);
  EXPECT_LT(transparent, 32 * 32 / 2);
  int colours_used = 0;
  for (bool u : used) colours_used += u;
  EXPECT_GE(colours_used, 3);
}

TEST(Mkicon, SameMapGivesTheSameBytesWhateverItsLineEndsAndComments) {
  ScratchDir dir;
  const std::vector<std::string> rows = PlainRows();
  ASSERT_TRUE(WriteText(dir.Join("lf.txt"), MapText(rows)));
  ASSERT_TRUE(WriteText(dir.Join("crlf.txt"), "# a comment\r\n" + MapText(rows, "\r\n")));
  ASSERT_EQ(RunMkicon(Quoted(dir.Join("lf.txt")) + " " + Quoted(dir.Join("lf.ico"))), 0);
  ASSERT_EQ(RunMkicon(Quoted(dir.Join("crlf.txt")) + " " + Quoted(dir.Join("crlf.ico"))), 0);
  Bytes lf, crlf;
  ASSERT_TRUE(ReadFileBytes(dir.Join("lf.ico"), &lf));
  ASSERT_TRUE(ReadFileBytes(dir.Join("crlf.ico"), &crlf));
  EXPECT_EQ(lf, crlf);
  ASSERT_EQ(lf.size(), 766u);
  // Top row, left half transparent: the last stored mask row is 0xFF 0xFF 0 0,
  // its colour row 0 ... 0 then 0x01 0x23 ... 0xEF (upper-case digits count).
  const size_t top_colours = 22 + 40 + 64 + 31 * 16, top_mask = 22 + 40 + 64 + 512 + 31 * 4;
  EXPECT_EQ(Bytes(lf.begin() + top_mask, lf.begin() + top_mask + 4), (Bytes{0xFF, 0xFF, 0, 0}));
  EXPECT_EQ(Bytes(lf.begin() + top_colours, lf.begin() + top_colours + 16),
            (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
  const size_t row5 = 22 + 40 + 64 + (31 - 5) * 16;
  EXPECT_EQ(lf[row5 + 1], 0x0A);
  EXPECT_EQ(lf[22 + 40 + 64 + 512 + (31 - 5) * 4], 0xEF);  // pixel 3 opaque
}

TEST(Mkicon, RefusesAMalformedMapWithStatus1AndWritesNothing) {
  ScratchDir dir;
  std::vector<std::pair<const char*, std::string>> cases;
  std::vector<std::string> rows = PlainRows();
  rows[7].pop_back();
  cases.push_back({"short line", MapText(rows)});
  rows = PlainRows();
  rows[31] += ".";
  cases.push_back({"long line", MapText(rows)});
  rows = PlainRows();
  rows[12][20] = 'g';
  cases.push_back({"not a hex digit", MapText(rows)});
  rows = PlainRows();
  rows[0][0] = ' ';
  cases.push_back({"space", MapText(rows)});
  rows = PlainRows();
  rows.pop_back();
  cases.push_back({"31 rows", MapText(rows)});
  rows = PlainRows();
  rows.push_back(rows[0]);
  cases.push_back({"33 rows", MapText(rows)});
  cases.push_back({"blank line", MapText(PlainRows()) + "\n"});
  cases.push_back({"empty", ""});
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteText(dir.Join("map.txt"), c.second));
    EXPECT_EQ(RunMkicon(Quoted(dir.Join("map.txt")) + " " + Quoted(dir.Join("out.ico"))), 1)
        << c.first;
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"map.txt"}) << c.first;
  }
}

TEST(Mkicon, MissingMapIsStatus1AndBadUsageStatus2) {
  ScratchDir dir;
  EXPECT_EQ(RunMkicon(Quoted(dir.Join("none.txt")) + " " + Quoted(dir.Join("out.ico"))), 1);
  ASSERT_TRUE(WriteText(dir.Join("map.txt"), MapText(PlainRows())));
  EXPECT_EQ(RunMkicon(Quoted(dir.Join("map.txt")) + " " + Quoted(dir.Join("no/such/out.ico"))), 1);
  EXPECT_EQ(RunMkicon(Quoted(dir.Join("map.txt"))), 2);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"map.txt"});
}

}  // namespace
