#include "web_context.hpp"

#include <libsoup/soup.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "edit_menu.hpp"
#include "server/server.hpp"
#include "shell/model/app_server.hpp"

namespace vantrel::desktop {
namespace {

constexpr auto kCookieWaitLimit = std::chrono::seconds(10);

WebKitWebContext* g_context = nullptr;  // owned; nullptr: the engine's default

struct PendingCookie {
    int left = 0;
    bool failed = false;
};

// `data` is a heap copy of the shared pointer, so a late answer finds its record.
void cookieAdded(GObject* manager, GAsyncResult* result, gpointer data) {
    std::unique_ptr<std::shared_ptr<PendingCookie>> holder(static_cast<std::shared_ptr<PendingCookie>*>(data));
    PendingCookie* pending = holder->get();
    GError* error = nullptr;
    if (!webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(manager), result, &error)) {
        std::fprintf(stderr, "vantrel: cannot store the server's cookie: %s\n", error ? error->message : "");
        g_clear_error(&error);
        pending->failed = true;
    }
    --pending->left;
}

}  // namespace

void ConfigureWebContext(const vantrel::shell::ApplicationFolders& folders) {
    ReleaseWebContext();
    WebKitWebsiteDataManager* manager = webkit_website_data_manager_new(
        "base-data-directory", folders.data.c_str(), "base-cache-directory", folders.cache.c_str(), nullptr);
    WebKitCookieManager* cookies = webkit_website_data_manager_get_cookie_manager(manager);
    webkit_cookie_manager_set_persistent_storage(cookies, folders.cookies().c_str(),
                                                 WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
    webkit_cookie_manager_set_accept_policy(cookies, WEBKIT_COOKIE_POLICY_ACCEPT_NO_THIRD_PARTY);
    g_context = webkit_web_context_new_with_website_data_manager(manager);
    g_object_unref(manager);  // the context holds it
    EnableSpellChecking(g_context);
}

WebKitWebContext* ApplicationWebContext() { return g_context ? g_context : webkit_web_context_get_default(); }

void ReleaseWebContext() { g_clear_object(&g_context); }

bool InstallServerTokenCookie() {
    // Every run's token: it admits the pages to the native interface, and to
    // a private server at all.
    const std::string& token = vantrel::shell::ServerToken();
    if (token.empty()) return true;
    WebKitWebsiteDataManager* manager = webkit_web_context_get_website_data_manager(ApplicationWebContext());
    WebKitCookieManager* cookies = webkit_website_data_manager_get_cookie_manager(manager);
    auto pending = std::make_shared<PendingCookie>();
    for (const char* host : {"127.0.0.1", "localhost"}) {
        // A host-only session cookie: no expiry, so it is never written to disk.
        SoupCookie* cookie = soup_cookie_new(kServerTokenCookie, token.c_str(), host, "/", -1);
        soup_cookie_set_http_only(cookie, TRUE);
        soup_cookie_set_same_site_policy(cookie, SOUP_SAME_SITE_POLICY_STRICT);
        ++pending->left;
        webkit_cookie_manager_add_cookie(cookies, cookie, nullptr, cookieAdded,
                                         new std::shared_ptr<PendingCookie>(pending));
        soup_cookie_free(cookie);
    }
    auto deadline = std::chrono::steady_clock::now() + kCookieWaitLimit;
    guint tick = g_timeout_add(50, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    while (pending->left > 0 && std::chrono::steady_clock::now() < deadline) g_main_context_iteration(nullptr, TRUE);
    g_source_remove(tick);
    return pending->left == 0 && !pending->failed;
}

}  // namespace vantrel::desktop
