// lzcx extract --find and --find-in: where the installation is.
#ifndef PATCHER_TOOLS_LZCX_FIND_H
#define PATCHER_TOOLS_LZCX_FIND_H

#include <string>
#include <vector>

// The folder of the first Vusk.exe that the program's scan finds below
// `find_in` (every drive when it is empty): the directory string, ending
// in a separator; empty when there is none, and *started false when the
// search could not start (no thread).
std::string FindInstallation(const std::vector<const char*>& find_in, bool* started);

#endif  // PATCHER_TOOLS_LZCX_FIND_H
