// What a request for a program keeps beside its connection record: its place in
// the server's count of running programs or in the queue, and the state of a
// FastCGI exchange.
#pragma once

#include <cstddef>
#include <string>

#include <unistd.h>

#include "server/core/io_buffer.hpp"
#include "server/fastcgi/fastcgi_record.hpp"

namespace vantrel {

struct connection;

struct CgiJob {
    CgiJob() = default;
    ~CgiJob() {
        if (spool != -1) ::close(spool);
    }
    CgiJob(const CgiJob&) = delete;
    CgiJob& operator=(const CgiJob&) = delete;

    // The clean-up of whatever runs the request (a program started for it).
    void (*inner_cleanup)(connection& c, bool stopping) = nullptr;

    // The server's count of programs in flight.
    bool holds_slot = false;   // counted as running
    bool waiting = false;      // in the queue, in arrival order
    std::string path;          // the script, kept while the request waits
    std::string path_info;     // the rest after the script, likewise
    bool has_path_info = false;

    // A request body kept in an unnamed temporary file until it is complete:
    // a worker cannot be stopped, so it must never see a body cut short.
    int spool = -1;             // owned; closed with the job
    unsigned long spooled = 0;  // body bytes in `spool`
    bool params_ready = false;  // `out` already holds FCGI_BEGIN_REQUEST and FCGI_PARAMS

    // FastCGI: the records still to be written, the reply being read.
    bool fastcgi = false;
    bool connecting = false;   // the non-blocking connect has not finished
    bool stdin_done = false;   // the empty FCGI_STDIN record is queued
    bool ended = false;        // FCGI_END_REQUEST arrived
    bool framing_chosen = false;  // the reply began to go out: chunked or ended by the close
    bool chunked = false;      // FCGI_STDOUT goes to the client in chunks
    std::string out;           // bytes for the worker
    std::size_t out_sent = 0;  // of `out`, already written
    unsigned long body_sent = 0;  // request body bytes put into FCGI_STDIN records
    FcgiRecordReader reader;
    io_buffer reply_in;        // read from the worker, not yet handed on (waits for room in `local`)
    char end_body[8] = {};
    std::size_t end_have = 0;
};

}  // namespace vantrel
