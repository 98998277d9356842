// PUT and DELETE. (Placeholder until uploads land.)
#include "server/handlers.hpp"
#include "server/request.hpp"

namespace vantrel {

void handle_put_delete(connection& c, char*) { send_challenge(c); }

}  // namespace vantrel
