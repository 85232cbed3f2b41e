// The built program's resources, read from the exe loaded as a data file:
// both dialog templates value by value, the string table, the icon, the
// payload (which must decode to the release files) and nothing else; and
// the checksum in its header, which lzcx patcher sets.
#include <windows.h>
#include <imagehlp.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "payload/block_decoder.h"
#include "payload/container.h"
#include "payload/entries.h"
#include "support/scratch.h"

namespace {

// Set by the build: the folder of c: the program and its release files are
// copied to, the program's name, and the release files' names in payload
// order, separated by '|'.
const std::string kFolder = std::string("C:\\") + PATCHER_TEST_FOLDER + "\\";
const std::string kProgram = kFolder + PATCHER_TEST_PROGRAM_NAME;
const char kReleaseNames[] = PATCHER_TEST_RELEASE_NAMES;

struct LanguageCount {
  WORD language;
  int n;
};

BOOL CALLBACK CountLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR p) {
  LanguageCount* count = reinterpret_cast<LanguageCount*>(p);
  count->language = language;
  ++count->n;
  return TRUE;
}

std::string ResourceKey(LPCSTR s) {
  return IS_INTRESOURCE(s) ? "#" + std::to_string(reinterpret_cast<uintptr_t>(s)) : std::string(s);
}

BOOL CALLBACK AddName(HMODULE, LPCSTR type, LPSTR name, LONG_PTR p) {
  reinterpret_cast<std::set<std::string>*>(p)->insert(ResourceKey(type) + "/" + ResourceKey(name));
  return TRUE;
}

BOOL CALLBACK AddNamesOfType(HMODULE module, LPSTR type, LONG_PTR p) {
  EnumResourceNamesA(module, type, AddName, p);
  return TRUE;
}

class ProgramResources : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    module_ = LoadLibraryExA(kProgram.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  }
  static void TearDownTestSuite() { FreeLibrary(module_); }

  // The bytes of one resource, or empty.
  static std::vector<uint8_t> Resource(LPCSTR type, LPCSTR name, WORD* language = nullptr) {
    HRSRC info = FindResourceA(module_, name, type);
    if (!info) return {};
    HGLOBAL loaded = LoadResource(module_, info);
    const uint8_t* bytes = static_cast<const uint8_t*>(LockResource(loaded));
    if (language) {
      // The one language the resource has (0 if it has several).
      LanguageCount count = {0, 0};
      EnumResourceLanguagesA(module_, type, name, CountLanguage,
                             reinterpret_cast<LONG_PTR>(&count));
      *language = count.n == 1 ? count.language : 0;
    }
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(module_, info));
  }

  static HMODULE module_;
};
HMODULE ProgramResources::module_ = nullptr;

// A reader of dialog templates (the plain, not the extended, form).
class TemplateReader {
 public:
  explicit TemplateReader(const std::vector<uint8_t>& b) : b_(b) {}
  uint16_t Word() {
    if (at_ + 2 > b_.size()) throw std::runtime_error("template cut short");
    uint16_t v = static_cast<uint16_t>(b_[at_] | b_[at_ + 1] << 8);
    at_ += 2;
    return v;
  }
  uint32_t Dword() {
    uint32_t low = Word();
    return low | static_cast<uint32_t>(Word()) << 16;
  }
  // A string, or "#<n>" for an ordinal; "" for an empty field.
  std::string StringOrOrdinal() {
    uint16_t first = Word();
    if (first == 0xFFFF) return "#" + std::to_string(Word());
    std::string s;
    for (uint16_t c = first; c; c = Word()) {
      if (c > 127) throw std::runtime_error("not ASCII");
      s += static_cast<char>(c);
    }
    return s;
  }
  void AlignDword() { at_ = (at_ + 3) & ~static_cast<size_t>(3); }
  size_t left() const { return b_.size() - at_; }

 private:
  const std::vector<uint8_t>& b_;
  size_t at_ = 0;
};

struct Control {
  std::string cls;
  int id;
  std::string text;
  int x, y, cx, cy;
  uint32_t style;
  bool operator==(const Control& o) const {
    return cls == o.cls && id == o.id && text == o.text && x == o.x && y == o.y &&
           cx == o.cx && cy == o.cy && style == o.style;
  }
};

std::ostream& operator<<(std::ostream& os, const Control& c) {
  return os << c.cls << " " << c.id << " \"" << c.text << "\" " << c.x << "," << c.y << " "
            << c.cx << "x" << c.cy << " 0x" << std::hex << c.style << std::dec;
}

struct Dialog {
  uint32_t style = 0, ex_style = 0;
  int x = 0, y = 0, cx = 0, cy = 0;
  std::string menu, window_class, caption, font;
  int point_size = 0;
  std::vector<Control> controls;
  std::vector<uint32_t> control_ex_styles;
  std::vector<int> extra_bytes;
};

Dialog Parse(const std::vector<uint8_t>& bytes) {
  TemplateReader r(bytes);
  Dialog d;
  d.style = r.Dword();
  d.ex_style = r.Dword();
  const int count = r.Word();
  d.x = static_cast<int16_t>(r.Word());
  d.y = static_cast<int16_t>(r.Word());
  d.cx = static_cast<int16_t>(r.Word());
  d.cy = static_cast<int16_t>(r.Word());
  d.menu = r.StringOrOrdinal();
  d.window_class = r.StringOrOrdinal();
  d.caption = r.StringOrOrdinal();
  if (d.style & DS_SETFONT) {
    d.point_size = r.Word();
    d.font = r.StringOrOrdinal();
  }
  for (int i = 0; i < count; ++i) {
    r.AlignDword();
    Control c;
    c.style = r.Dword();
    d.control_ex_styles.push_back(r.Dword());
    c.x = static_cast<int16_t>(r.Word());
    c.y = static_cast<int16_t>(r.Word());
    c.cx = static_cast<int16_t>(r.Word());
    c.cy = static_cast<int16_t>(r.Word());
    c.id = static_cast<int16_t>(r.Word());
    std::string cls = r.StringOrOrdinal();
    static const std::map<std::string, std::string> kAtoms = {
        {"#128", "Button"}, {"#129", "Edit"}, {"#130", "Static"}};
    c.cls = kAtoms.count(cls) ? kAtoms.at(cls) : cls;
    c.text = r.StringOrOrdinal();
    d.extra_bytes.push_back(r.Word());
    d.controls.push_back(c);
  }
  return d;
}

void ExpectControls(const Dialog& d, const std::vector<Control>& expected) {
  ASSERT_EQ(d.controls.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(d.controls[i], expected[i]) << "control " << i + 1;
    EXPECT_EQ(d.control_ex_styles[i], 0u) << "control " << i + 1;
    EXPECT_EQ(d.extra_bytes[i], 0) << "control " << i + 1;
  }
}

TEST_F(ProgramResources, MainDialogTemplate) {
  ASSERT_TRUE(module_) << kProgram;
  WORD language;
  std::vector<uint8_t> bytes = Resource(RT_DIALOG, MAKEINTRESOURCEA(101), &language);
  ASSERT_GT(bytes.size(), 4u);
  EXPECT_EQ(language, 0x0409);
  EXPECT_FALSE(bytes[2] == 0xFF && bytes[3] == 0xFF) << "an extended template";
  Dialog d = Parse(bytes);
  EXPECT_EQ(d.style, 0x80CC0040u);
  EXPECT_EQ(d.ex_style, 0u);
  EXPECT_EQ(d.x, 0);
  EXPECT_EQ(d.y, 0);
  EXPECT_EQ(d.cx, 237);
  EXPECT_EQ(d.cy, 186);
  EXPECT_EQ(d.menu, "");
  EXPECT_EQ(d.window_class, "");
  EXPECT_EQ(d.caption, "Upgrade to VUSK 1.25");
  EXPECT_EQ(d.point_size, 8);
  EXPECT_EQ(d.font, "MS Sans Serif");
  const std::string intro =
      "This will upgrade your existing version.  First, find \"Vusk.exe\" on your "
      "computer.   It should be in your Orvendel\\Tessaline directory.  Once you have "
      "found Vusk.exe, press the \"Patch\" button and you're done!";
  const std::string hint =
      "Automatically search for Tessaline.\r\n(The executable is called \"Vusk.exe\".)";
  ExpectControls(d, {
      {"Static", -1, "#107", 17, 8, 20, 20, 0x50000003},
      {"Static", 1000, intro, 49, 6, 168, 44, 0x50020000},
      {"Button", 1001, "&Scan...", 25, 68, 45, 14, 0x50010000},
      {"Button", 1002, "&Browse...", 25, 89, 45, 14, 0x50010000},
      {"Static", -1, hint, 78, 67, 137, 16, 0x50020000},
      {"Button", -1, "Options", 14, 52, 206, 60, 0x50000007},
      {"Static", -1, "Manually locate Tessaline.", 78, 92, 111, 8, 0x50020000},
      {"Static", 1006, "Patch Vusk.exe found at the following location.", 15, 122, 202, 8,
       0x50020000},
      {"Edit", 1003, "", 15, 134, 204, 12, 0x50810880},
      {"Button", 1004, "&Patch", 25, 161, 48, 14, 0x50010000},
      {"Button", 2, "E&xit", 171, 162, 48, 14, 0x50010000},
  });
}

TEST_F(ProgramResources, ResultDialogTemplate) {
  WORD language;
  std::vector<uint8_t> bytes = Resource(RT_DIALOG, MAKEINTRESOURCEA(106), &language);
  ASSERT_GT(bytes.size(), 4u);
  EXPECT_EQ(language, 0x0409);
  Dialog d = Parse(bytes);
  EXPECT_EQ(d.style, 0x80C800C0u);
  EXPECT_EQ(d.ex_style, 0u);
  EXPECT_EQ(d.cx, 186);
  EXPECT_EQ(d.cy, 76);
  EXPECT_EQ(d.caption, "Patch successful!");
  EXPECT_EQ(d.font, "MS Sans Serif");
  EXPECT_EQ(d.point_size, 8);
  ExpectControls(d, {
      {"Button", 1, "OK", 110, 50, 50, 14, 0x50010001},
      {"Static", 1007, "Tessaline was successfully patched!", 51, 14, 115, 24, 0x50020000},
      {"Static", -1, "#107", 20, 12, 20, 20, 0x50000003},
  });
}

TEST_F(ProgramResources, StringTableHoldsExactlyTheSevenTexts) {
  const char* const expected[] = {
      nullptr,
      "Stop",
      "Scan...",
      "Tessaline was successfully patched!",
      "There was a problem during the patch!   You may try downloading the full version or "
      "contact Orvendel with a description of the problem.",
      "Patch Successful!",
      "Error!",
      "The scan failed to turn up anything!  Did you uninstall or change its name?",
  };
  for (int id = 0; id < 32; ++id) {
    char text[2048] = "";
    int n = LoadStringA(module_, id, text, sizeof text);
    if (id >= 1 && id <= 7) {
      EXPECT_STREQ(text, expected[id]) << id;
    } else {
      EXPECT_EQ(n, 0) << id << ": " << text;
    }
  }
}

TEST_F(ProgramResources, IconGroupHoldsOneSixteenColourImage) {
  WORD language;
  std::vector<uint8_t> group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEA(107), &language);
  ASSERT_EQ(group.size(), 6u + 14u);
  EXPECT_EQ(language, 0x0409);
  EXPECT_EQ(group[2] | group[3] << 8, 1);  // type: icon
  EXPECT_EQ(group[4] | group[5] << 8, 1);  // one entry
  const uint8_t* e = &group[6];
  EXPECT_EQ(e[0], 32);
  EXPECT_EQ(e[1], 32);
  EXPECT_EQ(e[2], 16);
  EXPECT_EQ(e[4] | e[5] << 8, 1);   // planes
  EXPECT_EQ(e[6] | e[7] << 8, 4);   // bits per pixel
  EXPECT_EQ(ReadLe32(e + 8), 744u);  // bytes
  EXPECT_EQ(e[12] | e[13] << 8, 1);  // image id
  std::vector<uint8_t> image = Resource(RT_ICON, MAKEINTRESOURCEA(1));
  ASSERT_EQ(image.size(), 744u);
  EXPECT_EQ(ReadLe32(&image[0]), 40u);  // header size
  EXPECT_EQ(ReadLe32(&image[8]), 64u);  // height: colour bitmap and mask
  EXPECT_TRUE(LoadImageA(module_, MAKEINTRESOURCEA(107), IMAGE_ICON, 32, 32, 0));
}

TEST_F(ProgramResources, NothingElseIsThere) {
  std::set<std::string> found;
  EnumResourceTypesA(module_, AddNamesOfType, reinterpret_cast<LONG_PTR>(&found));
  // Dialogs 101 and 106, the string block of ids 1-15, icon group 107 with
  // its image 1, the forms it reads (108), the payload, and the manifest.
  EXPECT_EQ(found, (std::set<std::string>{"#5/#101", "#5/#106", "#6/#1", "#14/#107", "#3/#1",
                                          "#10/#108", "FILE/#105", "#24/#1"}));
  WORD language;
  EXPECT_FALSE(Resource("FILE", MAKEINTRESOURCEA(105), &language).empty());
  EXPECT_EQ(language, 0x0409);
}

// What lzcx reads to tell whether a payload suits the program: the forms
// this build reads, each a 16-bit number.
TEST_F(ProgramResources, RecordsTheFormsItReads) {
  std::vector<uint8_t> record = Resource(RT_RCDATA, MAKEINTRESOURCEA(108));
  uint32_t forms = 0;
  for (size_t i = 0; i + 1 < record.size(); i += 2) forms |= 1u << (record[i] | record[i + 1] << 8);
  EXPECT_EQ(forms, kFormsRead);
}

TEST_F(ProgramResources, PayloadDecodesToTheReleaseFiles) {
  std::vector<uint8_t> payload = Resource("FILE", MAKEINTRESOURCEA(105));
  std::vector<std::string> release;
  std::string all = kReleaseNames;
  for (size_t at = 0; at <= all.size();) {
    size_t bar = all.find('|', at);
    if (bar == std::string::npos) bar = all.size();
    release.push_back(all.substr(at, bar - at));
    at = bar + 1;
  }
  PatchEntries entries;
  char fault[256] = "";
  ASSERT_TRUE(entries.Read(payload.data(), payload.size(), nullptr, fault, sizeof fault)) << fault;
  ASSERT_EQ(static_cast<size_t>(entries.count()), release.size());
  for (int i = 0; i < entries.count(); ++i) {
    const PayloadEntry& e = entries[i];
    const std::string& base = release[i];
    EXPECT_EQ(std::string(e.name), base);
    std::vector<uint8_t> expected;
    ASSERT_TRUE(ReadFileBytes(kFolder + base, &expected)) << base;
    ASSERT_EQ(e.expanded_length, expected.size()) << base;
    const uint8_t* bytes = nullptr;
    uint8_t* buffer = nullptr;
    ASSERT_TRUE(entries.Bytes(i, nullptr, 0, &bytes, &buffer, fault, sizeof fault)) << fault;
    EXPECT_TRUE(std::vector<uint8_t>(bytes, bytes + e.expanded_length) == expected) << base;
    free(buffer);
  }
}

TEST(Program, HeaderChecksumIsTheFilesChecksum) {
  DWORD header = 0, computed = 0;
  ASSERT_EQ(MapFileAndCheckSumA(kProgram.c_str(), &header, &computed),
            static_cast<DWORD>(CHECKSUM_SUCCESS));
  EXPECT_NE(header, 0u);
  EXPECT_EQ(header, computed);
}

}  // namespace
