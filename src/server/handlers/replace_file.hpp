// Replacing a file whole: the new content goes into a temporary file beside the
// target, is flushed to disk, and is renamed over the target, so readers see the
// old file or the new one, never half of either.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace vantrel {

// Creates an empty temporary file in the target's folder, named from the target's
// base name (shortened so the name always fits the platform's limit) with
// permission bits `mode`. Returns its descriptor and sets `temp`; -1 with errno.
int create_temp_beside(const std::string& target, mode_t mode, std::string& temp);
// Flushes and closes `fd`, then renames `temp` over `target`. Returns 0, or the
// error number after removing `temp`.
int commit_temp(int fd, const std::string& temp, const std::string& target);
// Writes `content` to a temporary file and commits it over `target`. 0 or an error number.
int replace_file_atomically(const std::string& target, std::string_view content, mode_t mode);

}  // namespace vantrel
