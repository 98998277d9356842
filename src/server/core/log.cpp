#include "server/core/log.hpp"

#include <arpa/inet.h>

#include <strings.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <cstdlib>
#include <mutex>

#include "server/engine/connection.hpp"

namespace vantrel {

std::atomic<long> current_time{0};
std::atomic<int> debug_mode{0};

namespace {

std::mutex hook_mutex;
TimeSource time_source;
FatalHook fatal_hook;
std::atomic<bool> fatal_flag{false};

// English month names whatever the process locale says.
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The whole formatted message: a line is never cut, however long.
std::string format_message(const char* format, va_list ap) {
    char small[2048];
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(small, sizeof small, format, ap);
    std::string text;
    if (n < 0) {
        text = format;  // the format itself says more than nothing
    } else if (static_cast<std::size_t>(n) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(n));
    } else {
        text.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    return text;
}

bool starts_with_nocase(const char* text, const char* prefix) {
    return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

// Debug lines may quote request heads and the parts of a Digest Authorization
// header; the values that let a reader of the log act as the user (cookies, the
// private server token inside them, credentials) are replaced by "[hidden]".
// Header lines are recognised at the start of every line of the message; the
// digest debug messages (credential fields, "fetchfield:", "checkpass:") by how
// they begin.
void hide_secrets(std::string& message) {
    static const char* const digest_messages[] = {"fetchfield: ", "checkpass: [", "["};
    for (const char* prefix : digest_messages) {
        if (message.compare(0, std::strlen(prefix), prefix) == 0) {
            message = std::string(prefix, std::strcspn(prefix, "[")) + "[hidden]";
            return;
        }
    }
    static const char* const secret_headers[] = {"Cookie:", "Set-Cookie:", "Authorization:",
                                                 "Proxy-Authorization:"};
    std::string out;
    for (const char* line = message.c_str(); *line != '\0';) {
        const char* end = line + std::strcspn(line, "\r\n");
        const char* header = nullptr;
        for (const char* name : secret_headers)
            if (starts_with_nocase(line, name)) header = name;
        if (header) {
            out.append(line, std::strlen(header));
            out += " [hidden]";
        } else {
            out.append(line, end);
        }
        line = end;
        while (*line == '\r' || *line == '\n') out += *line++;
    }
    message = std::move(out);
}

}  // namespace

void set_time_source(TimeSource source) {
    std::lock_guard<std::mutex> guard(hook_mutex);
    time_source = std::move(source);
}

long read_clock() {
    {
        std::lock_guard<std::mutex> guard(hook_mutex);
        if (time_source) return time_source();
    }
    return static_cast<long>(std::time(nullptr));
}

void refresh_current_time() { current_time = read_clock(); }

void set_fatal_hook(FatalHook hook) {
    std::lock_guard<std::mutex> guard(hook_mutex);
    fatal_hook = std::move(hook);
}

bool fatal_happened() { return fatal_flag.load(); }
void clear_fatal() { fatal_flag = false; }

void server_log(int level, const char* format, ...) {
    if (level == LOG_DEBUG && debug_mode.load() == 0) return;

    va_list ap;
    va_start(ap, format);
    std::string message = format_message(format, ap);
    va_end(ap);
    if (level == LOG_DEBUG) hide_secrets(message);

    std::fprintf(stderr, "%lu %s\n", static_cast<unsigned long>(current_time.load()), message.c_str());
    std::fflush(stderr);

    if (level != LOG_FATAL) return;
    fatal_flag = true;
    FatalHook hook;
    {
        std::lock_guard<std::mutex> guard(hook_mutex);
        hook = fatal_hook;
    }
    if (!hook) std::exit(1);
    hook(message);
}

void log_access(std::FILE* stream, const connection& c) {
    time_t now = static_cast<time_t>(current_time.load());
    struct tm tm {};
    localtime_r(&now, &tm);
    char when[64];
    std::snprintf(when, sizeof when, "%02d/%s/%04d %02d:%02d:%02d", tm.tm_mday, kMonths[tm.tm_mon],
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);

    char address[INET_ADDRSTRLEN] = "0.0.0.0";
    inet_ntop(AF_INET, &c.peer.sin_addr, address, sizeof address);
    unsigned long body = c.sent > c.header_length ? c.sent - c.header_length : 0;

    std::fprintf(stream, "%s - %s [%s] \"%s %s %s\" %d %lu ", address,
                 c.user.empty() ? "-" : c.user.c_str(), when, c.method_name, c.request_uri, c.protocol,
                 c.status, body);
    if (c.referer.empty())
        std::fputs("-", stream);
    else
        std::fprintf(stream, "\"%s\"", c.referer.c_str());
    std::fputs(" ", stream);
    if (c.user_agent.empty())
        std::fputs("-", stream);
    else
        std::fprintf(stream, "\"%s\" ", c.user_agent.c_str());
    std::fputs("\n", stream);
    std::fflush(stream);
}

}  // namespace vantrel
