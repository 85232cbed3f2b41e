// mkicon: turns the program's pixel map into the .ico file that the resource
// script embeds as icon group 107.
//
//   mkicon MAP ICO
//
// MAP: 32 rows of 32 characters, top row first; a hex digit is an index into
// the standard 16-colour palette, "." is transparent; lines starting with
// "#" are comments. ICO: one 32 x 32, 4-bit image of 744 bytes.
//
// Exit status: 0 success, 1 malformed map or a file that cannot be read or
// written (one line on stderr), 2 usage. Nothing is written for a bad map.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace {

const int kSize = 32;        // pixels, both ways
const int kColours = 16;
const int kHeaderBytes = 40;                      // the bitmap header
const int kPaletteBytes = kColours * 4;           // 64
const int kColourBytes = kSize * kSize / 2;       // 4 bits per pixel: 512
const int kMaskBytes = kSize * kSize / 8;         // 1 bit per pixel: 128
const int kImageBytes = kHeaderBytes + kPaletteBytes + kColourBytes + kMaskBytes;  // 744
const int kFileHeaderBytes = 6 + 16;              // directory and its one entry
const int kTransparent = -1;

// The platform's standard 16-colour palette, as red, green, blue.
const uint8_t kPalette[kColours][3] = {
    {0x00, 0x00, 0x00}, {0x80, 0x00, 0x00}, {0x00, 0x80, 0x00}, {0x80, 0x80, 0x00},
    {0x00, 0x00, 0x80}, {0x80, 0x00, 0x80}, {0x00, 0x80, 0x80}, {0xC0, 0xC0, 0xC0},
    {0x80, 0x80, 0x80}, {0xFF, 0x00, 0x00}, {0x00, 0xFF, 0x00}, {0xFF, 0xFF, 0x00},
    {0x00, 0x00, 0xFF}, {0xFF, 0x00, 0xFF}, {0x00, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF},
};

// pixels[row][column], top row first: a palette index or kTransparent.
typedef std::vector<std::vector<int>> Pixels;

int PixelValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c == '.') return kTransparent;
  return -2;
}

bool ReadText(const char* path, std::string* text) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// Fills `pixels` from the map's text; on a fault, says what and where.
bool ParseMap(const std::string& text, const char* path, Pixels* pixels) {
  int line_number = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '#') continue;
    if (pixels->size() == kSize) {
      fprintf(stderr, "mkicon: %s:%d: more than %d pixel rows\n", path, line_number, kSize);
      return false;
    }
    if (line.size() != kSize) {
      fprintf(stderr, "mkicon: %s:%d: %zu characters, not %d\n", path, line_number,
              line.size(), kSize);
      return false;
    }
    std::vector<int> row;
    for (int x = 0; x < kSize; ++x) {
      int value = PixelValue(line[x]);
      if (value < kTransparent) {
        fprintf(stderr, "mkicon: %s:%d:%d: '%c' is neither a hex digit nor '.'\n", path,
                line_number, x + 1, line[x]);
        return false;
      }
      row.push_back(value);
    }
    pixels->push_back(row);
  }
  if (pixels->size() != kSize) {
    fprintf(stderr, "mkicon: %s: %zu pixel rows, not %d\n", path, pixels->size(), kSize);
    return false;
  }
  return true;
}

void Put16(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>* out, uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

std::vector<uint8_t> BuildIcon(const Pixels& pixels) {
  std::vector<uint8_t> out;
  // Icon directory: reserved, type 1 (icon), one image.
  Put16(&out, 0);
  Put16(&out, 1);
  Put16(&out, 1);
  // Its entry: width, height, colours, reserved, planes, bits per pixel,
  // size, offset.
  out.push_back(kSize);
  out.push_back(kSize);
  out.push_back(kColours);
  out.push_back(0);
  Put16(&out, 1);
  Put16(&out, 4);
  Put32(&out, kImageBytes);
  Put32(&out, kFileHeaderBytes);

  // Bitmap header; the height counts the colour bitmap and the mask.
  Put32(&out, kHeaderBytes);
  Put32(&out, kSize);
  Put32(&out, 2 * kSize);
  Put16(&out, 1);                          // planes
  Put16(&out, 4);                          // bits per pixel
  Put32(&out, 0);                          // uncompressed
  Put32(&out, kColourBytes + kMaskBytes);  // image bytes
  Put32(&out, 0);                          // pixels per metre, x and y
  Put32(&out, 0);
  Put32(&out, 0);                          // colours used: all 16
  Put32(&out, 0);                          // colours important: all
  for (const uint8_t* rgb : kPalette) {
    out.push_back(rgb[2]);
    out.push_back(rgb[1]);
    out.push_back(rgb[0]);
    out.push_back(0);
  }
  // Rows bottom-up, the left pixel in the high bits. Rows of 16 and 4
  // bytes are already 4-byte aligned. A transparent pixel is colour 0 with
  // its mask bit set, so the screen shows through unchanged.
  for (int y = kSize - 1; y >= 0; --y) {
    for (int x = 0; x < kSize; x += 2) {
      int left = pixels[y][x] == kTransparent ? 0 : pixels[y][x];
      int right = pixels[y][x + 1] == kTransparent ? 0 : pixels[y][x + 1];
      out.push_back(static_cast<uint8_t>(left << 4 | right));
    }
  }
  for (int y = kSize - 1; y >= 0; --y) {
    for (int x = 0; x < kSize; x += 8) {
      uint8_t bits = 0;
      for (int i = 0; i < 8; ++i)
        if (pixels[y][x + i] == kTransparent) bits |= static_cast<uint8_t>(0x80 >> i);
      out.push_back(bits);
    }
  }
  return out;
}

bool WriteBytes(const char* path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path, "wb");
  if (!f) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (fclose(f) != 0) ok = false;
  if (!ok) remove(path);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("usage: mkicon MAP ICO\n", stderr);
    return 2;
  }
  std::string text;
  if (!ReadText(argv[1], &text)) {
    fprintf(stderr, "mkicon: cannot read %s\n", argv[1]);
    return 1;
  }
  Pixels pixels;
  if (!ParseMap(text, argv[1], &pixels)) return 1;
  std::vector<uint8_t> icon = BuildIcon(pixels);
  if (!WriteBytes(argv[2], icon)) {
    fprintf(stderr, "mkicon: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
