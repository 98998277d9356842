// CGI programs. (Placeholder until the gateway lands.)
#include <strings.h>

#include <cstring>

#include "server/handlers.hpp"
#include "server/request.hpp"

namespace vantrel {

bool is_cgi(const ServerContext& ctx, const char* path) {
    std::size_t n = std::strlen(path), e = ctx.cgi_extention.size();
    return e > 0 && n > e && strcasecmp(path + n - e, ctx.cgi_extention.c_str()) == 0;
}
int run_cgi(connection&, const char*) { return -1; }
void get_cgi(connection&) {}
void cgi_release(connection&) {}

}  // namespace vantrel
