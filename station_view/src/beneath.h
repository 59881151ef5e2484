// Files below the view's folder, reached without following a link.
#pragma once

#include <string>

// A folder or file below `dir_fd` by its relative path ("." for the folder
// itself), each part opened without following a link; -1 with errno when
// any part is missing, a link, or no plain name ("..", empty). The last
// part is opened with `flags`.
int open_beneath(int dir_fd, const std::string& relative, int flags);
