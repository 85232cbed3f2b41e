// The one rule for entry names, the same for the packer, the tools that
// read payloads and the program: a name must be a plain file name that
// the Windows program can create in the target directory, and nothing
// else. So a payload that verifies on any host is one the program applies.
//
// Reading, a name beyond ASCII must be well-formed UTF-8 (what the program
// means by it under its UTF-8 code page). Packing takes printable ASCII
// only: the program creates files through 8-bit calls, whose code page is
// UTF-8 under its manifest on current Windows but the ANSI code page on
// older ones, so only ASCII means the same file everywhere.
//
// An entry's path is such names joined by '/', which the payload uses
// between folders whatever the system (the program converts where it
// must). Whether two names are one file is platform::SameFileName's
// business.
#ifndef PATCHER_PAYLOAD_NAMES_H
#define PATCHER_PAYLOAD_NAMES_H

enum NameRule {
  kNameForReading,
  kNameForPacking,
};

enum NameVerdict {
  kNameFine = 0,
  kNameEmpty,
  kNameTooLong,           // more than 255 bytes: no file system takes it
  kNameDots,              // "." or ".."
  kNamePathCharacter,     // "\", "/" or ":": a path, a drive or a stream
  kNameForbiddenCharacter,// * ? | < > ": no Windows file name holds them
  kNameControlCharacter,  // below 32, 127, or U+0080..U+009F in UTF-8
  kNameTrailingDotOrSpace,// Windows drops them: another file's name
  kNameDevice,            // CON, PRN, AUX, NUL, COM0-9, LPT0-9 (and the
                          // superscripts), CONIN$, CONOUT$, in any case,
                          // alone or before a dot, spaces around ignored
  kNameNotAscii,          // packing: beyond printable ASCII
  kNameNotUtf8,           // reading: beyond ASCII and not well-formed UTF-8
  kNameReserved,          // the patch's own files: its journal, lock, ~pt<hex>.tmp
  kPathTooLong,           // a path of more than kLongestPath bytes
};

const int kLongestName = 255;   // bytes of one name
const int kLongestPath = 1024;  // bytes of a whole path, its '/'s included

// The verdict on `name` (NUL-terminated), one name without a folder,
// under `rule`.
NameVerdict CheckEntryName(const char* name, NameRule rule);

// The verdict on `path`: names separated by single '/'s, none empty (so
// no '/' leads or trails), each as CheckEntryName judges it.
NameVerdict CheckEntryPath(const char* path, NameRule rule);

// A few words on what is wrong, for messages; "" for kNameFine.
const char* NameVerdictText(NameVerdict verdict) __attribute__((const));

#endif  // PATCHER_PAYLOAD_NAMES_H
