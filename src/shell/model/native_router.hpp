// The native interface's calls, without a window: a request for a path under
// /_vantrel/ is checked (origin, token, call, method, capability, JSON body)
// and either answered at once or turned into a call that the desktop performs,
// whose reply then goes back the same way.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/server.hpp"
#include "shell/model/native_port.hpp"

namespace vantrel::shell {

inline constexpr std::string_view kNativePrefix = "/_vantrel/";
inline constexpr std::size_t kNativeMaxBody = 1024 * 1024;  // 1 MiB
// The header programs send the token in; the window's browser sends the
// server's token cookie instead (the same two that a private server asks for).
inline constexpr const char* kNativeTokenHeader = kServerTokenHeader;
inline constexpr const char* kNativeTokenCookie = kServerTokenCookie;

// A request for a path under /_vantrel/, as the server hands it over, and the
// reply that goes back.
using NativeRequest = HostedRequest;
using NativeReply = HostedReply;

// What the channel knows from the server's start on.
struct NativeChannel {
    std::string token;    // the application's token
    int port = 0;         // the server's port: names its own origin
    unsigned allowed = 0; // the capabilities, as AllowNative left them
};

// A checked call, for the desktop to perform.
struct NativeCall {
    enum Kind {
        Info,
        Arguments,
        Notify,
        ClipboardRead,
        ClipboardWrite,
        WindowRead,
        WindowWrite,
        Dialog,
        Open,
        Reveal,
        Trash,
        Tray,
        AutostartRead,
        AutostartWrite,
    } kind = Info;
    NotificationRequest notification;
    std::string text;  // ClipboardWrite
    WindowChange window;
    DialogRequest dialog;
    std::string target;  // Open: a URI; Reveal, Trash: an absolute path
    TrayChange tray;
    bool enabled = false;  // AutostartWrite
};

// Either the reply (a refusal, or the client script) or the call to perform.
struct RoutedRequest {
    std::optional<NativeReply> reply;
    NativeCall call;
};

// Checks one request; safe on any thread (it reads only its arguments and the
// file system).
RoutedRequest RouteNativeRequest(const NativeRequest& request, const NativeChannel& channel);

// Performs a checked call through `port` (nullptr: no desktop yet, 409) on the
// user-interface thread; `done` gets the reply once, possibly later (a dialog).
void PerformNativeCall(const NativeCall& call, const NativeChannel& channel, NativePort* port,
                       std::function<void(NativeReply)> done);

// {"ok": false, "error": message} with `status`.
NativeReply NativeFailure(int status, const std::string& message);

// The client script served as /_vantrel/vantrel.js.
extern const char* const kNativeClientScript;

}  // namespace vantrel::shell
