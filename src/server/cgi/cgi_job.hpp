// What a request for a program keeps beside its connection record: where its
// exchange with the program stands, and what the exchange carries.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include <unistd.h>

#include "server/core/io_buffer.hpp"
#include "server/fastcgi/fastcgi_record.hpp"
#include "server/fastcgi/reply_spool.hpp"

namespace vantrel {

struct connection;

// One exchange with a program, in order. Connecting, Sending and Reading hold
// one of the server's program slots (with the pool: one worker), and the
// program's running time is limited by cgi_timeout.
enum class Exchange : unsigned char {
    Queued,      // waiting for a free program (its timer is the record's `fd`)
    Spooling,    // the request body is kept in a file until it is whole
    Connecting,  // FastCGI: the non-blocking connect has not finished
    Sending,     // the request (and its body) goes to the program; its reply is read as it comes
    Reading,     // the request is all out (the program's input ended): only the reply is read
    Buffering,   // the program is done and free; the rest of its reply waits here for the client
    Ended,       // the program is done with the request
};

struct CgiJob {
    CgiJob() = default;
    ~CgiJob() {
        if (spool != -1) ::close(spool);
    }
    CgiJob(const CgiJob&) = delete;
    CgiJob& operator=(const CgiJob&) = delete;

    Exchange state = Exchange::Queued;
    // The server's count of running programs includes this request.
    bool holds_slot() const {
        return state == Exchange::Connecting || state == Exchange::Sending || state == Exchange::Reading;
    }

    // The worker of the pool that has the request (while it holds a slot), or -1.
    int worker = -1;

    // The clean-up of whatever runs the request (a program started for it).
    void (*inner_cleanup)(connection& c, bool stopping) = nullptr;

    std::string path;                      // the script, kept while the request waits
    std::optional<std::string> path_info;  // the rest after the script, likewise

    // A request body kept in an unnamed temporary file until it is complete:
    // a worker cannot be stopped, so it must never see a body cut short.
    int spool = -1;             // owned; closed with the job
    unsigned long spooled = 0;  // body bytes in `spool`

    // FastCGI: the records still to be written, the reply being read.
    std::string out;           // bytes for the worker (FCGI_BEGIN_REQUEST and FCGI_PARAMS first)
    std::size_t out_sent = 0;  // of `out`, already written
    unsigned long body_sent = 0;  // request body bytes put into FCGI_STDIN records
    FcgiRecordReader reader;
    io_buffer reply_in;        // read from the worker, not yet handed on (waits for room)
    ReplySpool reply_spool;    // reply body the client has not taken yet, beyond what `local` holds
    char end_body[8] = {};
    std::size_t end_have = 0;
};

}  // namespace vantrel
