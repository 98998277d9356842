// Digest authentication. (Placeholder until authentication lands.)
#include "server/handlers.hpp"
#include "server/request.hpp"

namespace vantrel {

int check_authorization(connection&, const char*) { return 1; }
int check_password(connection&, std::FILE*) { return 0; }
void send_challenge(connection& c) { senderr(c, 401, "Unauthorized", "", "Authorization required"); }

}  // namespace vantrel

namespace vantrel {
int htpasswd_add(const char*, const char*, const char*, const char*) { return -1; }
}  // namespace vantrel
