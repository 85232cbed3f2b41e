#include "ui/path_utils.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// x of a window `width` wide centred over [ref_left, ref_left + ref_width)
// on a 1024 x 768 screen.
int CenteredX(int width, int ref_left, int ref_width) {
  int x, y;
  CenteredPosition(ScreenRect{0, 0, width, 100}, ScreenRect{ref_left, 0, ref_left + ref_width, 768},
                   1024, 768, &x, &y);
  return x;
}

TEST(CenteredPosition, CentresOverTheReference) {
  int x, y;
  CenteredPosition(ScreenRect{5, 7, 205, 107}, ScreenRect{0, 0, 1024, 768}, 1024, 768, &x, &y);
  EXPECT_EQ(x, 412);
  EXPECT_EQ(y, 334);
  // Where the window was does not matter, only its size.
  CenteredPosition(ScreenRect{-50, 900, 150, 1000}, ScreenRect{0, 0, 1024, 768}, 1024, 768, &x, &y);
  EXPECT_EQ(x, 412);
  EXPECT_EQ(y, 334);
}

TEST(CenteredPosition, DivisionTruncatesTowardZero) {
  EXPECT_EQ(CenteredX(201, 0, 1024), 411);  // 823 / 2
  EXPECT_EQ(CenteredX(301, 500, 100), 400);  // 500 + (-201 / 2) = 500 - 100
}

TEST(CenteredPosition, KeepsTheWindowOnTheScreen) {
  EXPECT_EQ(CenteredX(301, 0, 100), 0);        // would start at -100
  EXPECT_EQ(CenteredX(200, 900, 100), 824);    // would end at 1050
  // Wider than the screen: a non-negative start is moved left until its
  // right edge meets the screen's (a negative x); a negative one goes to 0.
  EXPECT_EQ(CenteredX(1100, 600, 100), -76);
  EXPECT_EQ(CenteredX(1100, 0, 100), 0);
  int x, y;
  CenteredPosition(ScreenRect{0, 0, 100, 100}, ScreenRect{0, 700, 100, 800}, 1024, 768, &x, &y);
  EXPECT_EQ(y, 668);
}

std::string Dir(const char* path, int* result) {
  char out[300] = "untouched";
  *result = DirectoryOfPath(path, out);
  return out;
}

TEST(DirectoryOfPath, TakesEverythingThroughTheLastBackslash) {
  int r;
  EXPECT_EQ(Dir("C:\\Tools\\Vusk.exe", &r), "C:\\Tools\\");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Dir("C:\\Vusk.exe", &r), "C:\\");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Dir("C:\\Tools\\", &r), "C:\\Tools\\");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(Dir("", &r), "");
  EXPECT_EQ(r, 1);
  // Only the backslash separates.
  EXPECT_EQ(Dir("C:\\a/b/Vusk.exe", &r), "C:\\");
  EXPECT_EQ(r, 1);
}

TEST(DirectoryOfPath, NoDirectoryPartLeavesTheBufferAlone) {
  int r;
  for (const char* path : {"Vusk.exe", "\\Vusk.exe", "x", "\\", "a/b/c"}) {
    EXPECT_EQ(Dir(path, &r), "untouched") << path;
    EXPECT_EQ(r, 0) << path;
  }
}

}  // namespace
