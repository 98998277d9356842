// Unnamed temporary files: they vanish with their last descriptor, so nothing
// is left behind when the server ends in any way.
#pragma once

namespace vantrel {

// An unnamed file in /tmp open for reading and writing, or -1 (errno set).
int open_unnamed_temp_file();

}  // namespace vantrel
