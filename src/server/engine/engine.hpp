// The connection engine: the listening socket, accepting, receiving and sending
// with TLS, the poll step and the life of a record.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <memory>

#include "server/config/context.hpp"
#include "server/engine/connection.hpp"

namespace vantrel {

// errno values after which the same call is simply made again later.
bool try_again(int err);
bool set_nonblocking(int fd);

// True once the whole announced request body has arrived (at once for a request
// without one).
bool body_received(const connection& c);
// Request body bytes at the front of `remote` now; bytes of a next request
// that came after the body are never among them.
unsigned body_available(const connection& c);
// The handler took `n` body bytes from the front of `remote`.
void take_body(connection& c, unsigned n);
// The handler takes no (more) body: what of it is in `remote` is dropped.
void drop_body(connection& c);
// A body in chunks: decodes what of it has come, in place in `remote`. At its
// end `content_length` becomes the decoded length. A malformed chunk answers
// 400, a body growing past max_body_size 413 (the handler's work ends, nothing
// of the body is passed on, the connection closes); false then.
bool decode_chunked_input(connection& c);

// The content function has produced its last byte: what `local` holds ends the
// reply, and the record goes on to SendReply.
void body_done(connection& c);
// The remaining `file_left` bytes of the body go from the file in `fd` straight
// to the socket (plain TCP only), once `local` has drained: the record goes on
// to SendDirect.
void send_rest_directly(connection& c);
// The connection ends: the record is freed (or lingers) at the end of this step.
void close_after_step(connection& c);

// Opens the IPv4 listening socket on `address` (dotted; empty or nullptr: every
// address). Fatal on failure (-1 returned when the fatal hook returns). Port 0
// picks a free port (see bound_port).
int server_open_port(int port, const char* address = nullptr);
int bound_port(int sock);
// Wraps a listening socket in a record and links it into the context.
void server_listen(ServerContext& ctx, int sock);
void do_accept(ServerContext& ctx, connection& listener);
// `peer` is the address accept() returned, or nullptr to ask the socket.
void server_add(ServerContext& ctx, int sock, const sockaddr_in* peer = nullptr);
void handshake(connection& c);
int readremote(connection& c, char* dst, std::size_t len);
int writeremote(connection& c, const char* src, std::size_t len);
// Like writeremote, with the bytes taken from the file `file_fd` at its offset.
int sendfile_remote(connection& c, int file_fd, std::size_t len);
void serve(ServerContext& ctx, connection& c);
// One pass: wait at most `ms` for activity, serve what is ready, free what finished.
void server_step(ServerContext& ctx, int ms);
void link_connection(ServerContext& ctx, std::unique_ptr<connection> c);
std::unique_ptr<connection> unlink_connection(ServerContext& ctx, connection* c);
// Writes the access-log line, releases everything the record owns.
void disconnect(ServerContext& ctx, connection* c);
// Frees every record when the context goes: handlers stop what they started.
void disconnect_all(ServerContext& ctx);

}  // namespace vantrel
