// TLS: the option setter that makes the context's TLS context.
#pragma once

#include <string>

#include "server/config/context.hpp"

namespace vantrel {

// The server context from one PEM file holding certificate and key.
void set_ssl(ServerContext& ctx, const std::string& value);

}  // namespace vantrel
