// TLS: the server context from one PEM file holding certificate and key.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "server/config/context.hpp"
#include "server/config/tls.hpp"
#include "server/core/handles.hpp"
#include "server/core/log.hpp"

namespace vantrel {

void set_ssl(ServerContext& ctx, const std::string& value) {
    OPENSSL_init_ssl(0, nullptr);
    SslCtxPtr tls(SSL_CTX_new(TLS_server_method()));
    if (!tls) {
        server_log(LOG_FATAL, "SSL_CTX_new error");
        return;
    }
    if (SSL_CTX_use_certificate_file(tls.get(), value.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(tls.get(), value.c_str(), SSL_FILETYPE_PEM) != 1) {
        ERR_clear_error();
        server_log(LOG_FATAL, "cannot open %s", value.c_str());
        return;
    }
    // Partial writes keep the unsent bytes first in the queue; allow the buffer to move.
    // An idle kept connection gives its read and write buffers back.
    SSL_CTX_set_mode(tls.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    ctx.ssl_ctx = std::move(tls);
}

}  // namespace vantrel
