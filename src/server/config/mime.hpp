// The option setters that fill the context's lists: MIME types (the built-in
// table or a types file), aliases and extra CGI variables.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "server/config/context.hpp"

namespace vantrel {

void setmimetypes(ServerContext& ctx, const std::string& value);
void set_aliases(ServerContext& ctx, const std::string& value);
void set_envvars(ServerContext& ctx, const std::string& value);

// The built-in MIME rows, in table order.
const std::vector<std::pair<const char*, const char*>>& builtin_mime_table();

}  // namespace vantrel
