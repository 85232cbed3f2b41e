#include "ui/path_utils.h"

#include <string.h>

namespace {

// Centres one axis and keeps it on the screen.
int PlaceOnAxis(int size, int reference_start, int reference_size, int screen_size) {
  int at = reference_start + (reference_size - size) / 2;
  if (at < 0)
    at = 0;
  else if (at + size > screen_size)
    at = screen_size - size;
  return at;
}

}  // namespace

void CenteredPosition(const ScreenRect& window, const ScreenRect& reference,
                      int screen_width, int screen_height, int* x, int* y) {
  *x = PlaceOnAxis(window.right - window.left, reference.left,
                   reference.right - reference.left, screen_width);
  *y = PlaceOnAxis(window.bottom - window.top, reference.top,
                   reference.bottom - reference.top, screen_height);
}

int DirectoryOfPath(const char* path, char* directory) {
  int i = static_cast<int>(strlen(path)) - 1;
  while (i > 0 && path[i] != '\\') --i;
  if (i == 0) return 0;
  // An empty path leaves i at -1: an empty directory string.
  memcpy(directory, path, static_cast<size_t>(i + 1));
  directory[i + 1] = 0;
  return 1;
}
