// Directory index files and generated listings. (Placeholder until the listing lands.)
#include "server/handlers.hpp"
#include "server/request.hpp"

namespace vantrel {

int find_index_file(connection&, char*, std::size_t) { return -1; }
void list_dir(connection& c) { senderr(c, 403, "Forbidden", "", "Directory Listing Denied"); }
void list_dir_rows(connection&) {}

}  // namespace vantrel
