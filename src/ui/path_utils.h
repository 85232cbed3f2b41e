// The portable arithmetic behind the dialog utilities: where a centred
// window goes, and the directory part of a path.
#ifndef PATCHER_UI_PATH_UTILS_H
#define PATCHER_UI_PATH_UTILS_H

struct ScreenRect {
  int left, top, right, bottom;
};

// Top-left corner of `window` centred over `reference`, kept on a screen of
// the given size: each axis is centred with a division that truncates
// toward zero, then moved to 0 if it starts before the screen, or else left
// until it ends at the screen's edge if it ends past it (so a window larger
// than the screen can end up at a negative position).
void CenteredPosition(const ScreenRect& window, const ScreenRect& reference,
                      int screen_width, int screen_height, int* x, int* y);

// The directory part of `path`, through its last backslash, into
// `directory` (which must hold strlen(path) + 1 bytes). 1 when the path has
// one; 0, with `directory` untouched, when the only backslash is the first
// character or there is none. Only the backslash separates: this is about
// Windows paths. An empty path yields an empty directory and 1.
int DirectoryOfPath(const char* path, char* directory);

#endif  // PATCHER_UI_PATH_UTILS_H
