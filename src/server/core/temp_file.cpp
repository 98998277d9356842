#include "server/core/temp_file.hpp"

#include <fcntl.h>

namespace vantrel {

int open_unnamed_temp_file() { return open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); }

}  // namespace vantrel
