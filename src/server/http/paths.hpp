// A mapped path as the file system sees it: separators collapsed, and the
// platform's length limit enforced.
#pragma once

#include <sys/stat.h>

namespace vantrel {

// Collapses runs of "/" to one.
void normalize_path(char* path);
// Open or stat a mapped path; a path longer than the platform limit is refused
// with ENAMETOOLONG. stat_path also drops trailing "/" (a lone "/" stays).
int open_path(const char* path, int flags, int mode = 0);
int stat_path(const char* path, struct stat* st);

}  // namespace vantrel
