#include "support/name_cases.h"

#include <string>

namespace {

const NameVerdict F = kNameFine;
const NameVerdict Device = kNameDevice;
const NameVerdict Path = kNamePathCharacter;
const NameVerdict Forbidden = kNameForbiddenCharacter;
const NameVerdict Control = kNameControlCharacter;
const NameVerdict Trailing = kNameTrailingDotOrSpace;
const NameVerdict NotAscii = kNameNotAscii;
const NameVerdict NotUtf8 = kNameNotUtf8;
const NameVerdict Empty = kNameEmpty;

const std::string kName255(255, 'n'), kName256(256, 'n');
// 1,024 bytes in names of 255, and one more.
const std::string kPath1024 =
    kName255 + "/" + kName255 + "/" + kName255 + "/" + kName255.substr(1) + "/x";
const std::string kPath1025 = kPath1024 + "x";
const std::string kSub256 = "sub/" + kName256;

}  // namespace

const NameCase kNameCases[] = {
    // Plain names.
    {"vusk.exe", F, F},
    {"Vusk.exe", F, F},
    {"a", F, F},
    {"orvcore.dll", F, F},
    {"read me.txt", F, F},
    {" lead.txt", F, F},
    {"~pt.tmp", F, F},
    {"~pt00000.tmp.x", F, F},
    {"abcdefghijklmnopqrstuvwxyz.db", F, F},  // 29 characters: the first form
    {"abcdefghijklmnopqrstuvwxyz.doc", F, F},  // 30: an extended entry
    {"api-ms-win-core-synch-l1-2-0.dll", F, F},
    {"LPT", F, F},
    {"conx", F, F},
    {"CONIN", F, F},
    {"com10", F, F},
    {"nul_.txt", F, F},
    {"lpt1x.log", F, F},
    // The patch's own files.
    {"~pt0000.tmp", kNameReserved, kNameReserved},
    {"~PT1A2B3C4D.TMP", kNameReserved, kNameReserved},
    {"~ptjrnl.tmp", kNameReserved, kNameReserved},
    {"~ptJrnl.New", kNameReserved, kNameReserved},
    // Devices in every spelling Windows knows.
    {"CON", Device, Device},
    {"con.txt", Device, Device},
    {"con.txt.bak", Device, Device},
    {"con .txt", Device, Device},
    {"Nul", Device, Device},
    {"aux.dll", Device, Device},
    {"PRN", Device, Device},
    {"COM1", Device, Device},
    {"COM0", Device, Device},
    {"lpt9.log", Device, Device},
    {"CONIN$", Device, Device},
    {"conout$.log", Device, Device},
    {"COM\xb9", Device, Device},             // superscript one in code page 1252
    {"LPT\xc2\xb2.x", Device, Device},       // superscript two in UTF-8
    {"com\xc2\xb3", Device, Device},
    // Not file names at all, or not on Windows.
    {"", kNameEmpty, kNameEmpty},
    {kName255.c_str(), F, F},
    {kName256.c_str(), kNameTooLong, kNameTooLong},
    {".", kNameDots, kNameDots},
    {"..", kNameDots, kNameDots},
    {"a/b", Path, Path},
    {"a\\b", Path, Path},
    {"..\\vusk.exe", Path, Path},
    {"../vusk.exe", Path, Path},
    {"c:vusk.exe", Path, Path},
    {"vusk.exe:stream", Path, Path},
    {"/etc", Path, Path},
    {"C:", Path, Path},
    {"\\", Path, Path},
    {"tab\there", Control, Control},
    {"bell\x07", Control, Control},
    {"del\x7f", Control, Control},
    {"\xc2\x80" "first", Control, Control},   // C1 controls, U+0080..U+009F
    {"csi\xc2\x9b""2J", Control, Control},
    {"last\xc2\x9f", Control, Control},
    {"nbsp\xc2\xa0x", NotAscii, F},       // the first character after them
    {"lone\x9b", NotAscii, NotUtf8},
    {"go?d.txt", Forbidden, Forbidden},
    {"a*b", Forbidden, Forbidden},
    {"a|b", Forbidden, Forbidden},
    {"a<b", Forbidden, Forbidden},
    {"a>b", Forbidden, Forbidden},
    {"a\"b", Forbidden, Forbidden},
    {"dot.", Trailing, Trailing},
    {"space ", Trailing, Trailing},
    // Beyond ASCII: readers take well-formed UTF-8 only, the packer none.
    {"\xc3\xa9t\xc3\xa9.txt", NotAscii, F},
    {"\xd0\x96\xd1\x83\xd0\xba.dll", NotAscii, F},
    {"\xf0\x9f\x98\x80.txt", NotAscii, F},  // beyond the BMP
    {"\xff\xfe", NotAscii, NotUtf8},
    {"\xc0\xaf", NotAscii, NotUtf8},            // overlong "/"
    {"\xe0\x80\xaf.txt", NotAscii, NotUtf8},    // overlong "/" again
    {"\xed\xa0\x80.txt", NotAscii, NotUtf8},    // a surrogate
    {"\xf4\x90\x80\x80", NotAscii, NotUtf8},    // above U+10FFFF
    {"\xe2\x82.txt", NotAscii, NotUtf8},        // cut short
    {"\xa9.txt", NotAscii, NotUtf8},            // a lone continuation byte
};
const size_t kNameCaseCount = sizeof kNameCases / sizeof *kNameCases;

const NameCase kPathCases[] = {
    {"plugins/sub/x.dll", F, F},
    {kPath1024.c_str(), F, F},
    {kPath1025.c_str(), kPathTooLong, kPathTooLong},
    {kSub256.c_str(), kNameTooLong, kNameTooLong},
    {"/etc", Empty, Empty},
    {"sub/", Empty, Empty},
    {"a//b", Empty, Empty},
    {"a/../b", kNameDots, kNameDots},
    {"sub/CON/x.dll", Device, Device},
    {"sub/~ptjrnl.tmp", kNameReserved, kNameReserved},
    {"\xc3\xa9t\xc3\xa9/x.txt", NotAscii, F},
};
const size_t kPathCaseCount = sizeof kPathCases / sizeof *kPathCases;

const SameNameCase kSameNameCases[] = {
    {"vusk.exe", "VUSK.EXE", true},
    {"Vusk.exe", "vusk.exe", true},
    {"vusk.exe", "vusk.exe ", false},
    {"abc", "abcd", false},
    {"\xc3\xa9.txt", "\xc3\x89.TXT", true},              // e acute, both cases
    {"\xd0\xb6", "\xd0\x96", true},                      // Cyrillic zhe
    {"\xcf\x83", "\xce\xa3", true},                      // sigma
    {"\xcf\x82", "\xce\xa3", false},                     // final sigma: not mapped
    {"\xc4\xb1.txt", "I.txt", false},                    // dotless i
    {"\xc4\xb1.txt", "i.txt", false},
    {"\xc5\xbf", "S", false},                            // long s
    {"\xc2\xb5", "\xce\x9c", false},                     // micro sign, capital mu
    {"\xe2\x84\xaa", "k", false},                        // Kelvin sign
    {"\xc3\x9f", "SS", false},                           // sharp s
    {"\xc3\x9f", "\xe1\xba\x9e", false},                 // and its capital
    {"\xc7\x86", "\xc7\x84", true},                      // dz digraph
    {"\xc7\x85", "\xc7\x84", false},                     // its title case: not mapped
    {"\xe1\xbe\x80", "\xe1\xbe\x88", true},              // Greek with ypogegrammeni
    {"\xe2\xb1\xa5.txt", "\xc8\xba.txt", true},          // three bytes and two, one letter
    {"\xf0\x90\x90\xa8", "\xf0\x90\x90\x80", false},     // beyond the BMP: never folded
    {"\xc3\xa9", "e\xcc\x81", false},                    // composed and decomposed
    {"\xff\xfe", "\xc0\xaf", false},                     // not UTF-8: byte by byte
    {"a\xff", "A\xff", true},
};
const size_t kSameNameCaseCount = sizeof kSameNameCases / sizeof *kSameNameCases;
