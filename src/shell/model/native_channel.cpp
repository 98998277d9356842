#include "shell/model/native_channel.hpp"

#include <glib.h>

#include <memory>
#include <utility>

#include "shell/model/native_port.hpp"

namespace vantrel::shell {

void RunOnUserInterface(std::function<void()> work) {
    auto* queued = new std::function<void()>(std::move(work));
    // An idle source of its own on the default context: g_main_context_invoke
    // would run the work right here on a thread that can acquire the context.
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        queued, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void HostNativeInterface(ServerContext& ctx, NativeChannel channel) {
    auto shared = std::make_shared<const NativeChannel>(std::move(channel));
    server_host_prefix(
        ctx, std::string(kNativePrefix),
        [shared](HostedRequest&& request, HostedResponder responder) {
            // Refusals and the client script are answered here, on the poll thread.
            RoutedRequest routed = RouteNativeRequest(request, *shared);
            if (routed.reply) return responder.reply(std::move(*routed.reply));
            RunOnUserInterface([shared, responder, call = std::move(routed.call)] {
                PerformNativeCall(call, *shared, NativeDesktop(),
                                  [responder](NativeReply reply) { responder.reply(std::move(reply)); });
            });
        },
        kNativeMaxBody);
}

}  // namespace vantrel::shell
