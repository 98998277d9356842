// The native interface without a window: which requests are refused and why,
// what an accepted call asks of the desktop and what it answers, the script
// functions, "event:" commands, the tray's menu script, autostart entries and
// the arguments after the application folder.
#include <sys/stat.h>

#include <json-glib/json-glib.h>

#include <atomic>
#include <thread>

#include "server/server.hpp"
#include "shell/model/Webserver.hpp"
#include "shell/model/app_identity.hpp"
#include "shell/model/app_server.hpp"
#include "shell/model/native_autostart.hpp"
#include "shell/model/native_events.hpp"
#include "shell/model/native_router.hpp"
#include "shell_fixture.hpp"

namespace shelltest {
namespace {

constexpr const char* kToken = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
constexpr int kPort = 8123;

// The desktop as the interface sees it, recording what it is asked.
class FakeNative : public NativePort {
public:
    std::optional<std::string> notify(const NotificationRequest& request, Refusal& why) override {
        notifications.push_back(request);
        if (refuse) {
            why.message = "no notification service";
            return std::nullopt;
        }
        return "n" + std::to_string(notifications.size());
    }
    Outcome set_clipboard_text(const std::string& text) override {
        threads.push_back(std::this_thread::get_id());
        clipboard = text;
        return std::nullopt;
    }
    void read_clipboard_text(std::function<void(std::string)> done) override {
        threads.push_back(std::this_thread::get_id());
        done(clipboard);
    }
    WindowState window_state() override { return state; }
    Outcome change_window(const WindowChange& change) override {
        window_changes.push_back(change);
        return std::nullopt;
    }
    Outcome run_dialog(const DialogRequest& request, std::function<void(DialogResult)> done) override {
        threads.push_back(std::this_thread::get_id());
        if (dialog_done) return Refusal{"a dialog is already open"};
        dialogs.push_back(request);
        dialog_done = std::move(done);
        return std::nullopt;
    }
    Outcome open_with_default(const std::string& uri) override {
        opened.push_back(uri);
        return refuse ? Outcome(Refusal{"no handler"}) : std::nullopt;
    }
    void reveal(const std::string& path, std::function<void(Outcome)> done) override {
        revealed.push_back(path);
        done(std::nullopt);
    }
    Outcome trash(const std::string& path) override {
        trashed.push_back(path);
        return std::nullopt;
    }
    Outcome change_tray(const TrayChange& change) override {
        tray_changes.push_back(change);
        return std::nullopt;
    }
    void update_tray() override { ++tray_updates; }
    std::string launcher_command() override { return "my-app"; }

    bool refuse = false;
    std::vector<NotificationRequest> notifications;
    std::string clipboard = "from the desktop";
    WindowState state;
    std::vector<WindowChange> window_changes;
    std::vector<DialogRequest> dialogs;
    std::function<void(DialogResult)> dialog_done;
    std::vector<std::string> opened, revealed, trashed;
    std::vector<TrayChange> tray_changes;
    int tray_updates = 0;
    std::vector<std::thread::id> threads;  // where the clipboard and dialog calls ran
};

NativeRequest request(const std::string& method, const std::string& call, const std::string& body = "",
                      std::vector<std::pair<std::string, std::string>> headers = {{"X-Vantrel-Token", kToken}}) {
    NativeRequest r;
    r.method = method;
    r.path = "/_vantrel/" + call;
    r.body = body;
    r.headers = std::move(headers);
    return r;
}

// The "error" text of a reply body.
std::string error_of(const std::string& body) {
    JsonParser* parser = json_parser_new();
    std::string error = "(not JSON)";
    if (json_parser_load_from_data(parser, body.c_str(), -1, nullptr)) {
        JsonNode* root = json_parser_get_root(parser);
        if (root && JSON_NODE_HOLDS_OBJECT(root))
            error = json_object_get_string_member_with_default(json_node_get_object(root), "error", "(none)");
    }
    g_object_unref(parser);
    return error;
}

NativeChannel channel(unsigned allowed = ~0u) { return NativeChannel{kToken, kPort, allowed}; }

class NativeCalls : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        SetNativePort(&desktop);
    }
    // Routes and performs one request; the reply that came back ("" body when none did).
    NativeReply call(const NativeRequest& r, unsigned allowed = ~0u) {
        RoutedRequest routed = RouteNativeRequest(r, channel(allowed));
        if (routed.reply) return *routed.reply;
        NativeReply reply;
        reply.status = 0;
        PerformNativeCall(routed.call, channel(allowed), &desktop, [&](NativeReply r2) { reply = std::move(r2); });
        return reply;
    }
    FakeNative desktop;
};

TEST_F(NativeCalls, RefusalsSayWhatWasWrong) {
    const std::string huge(kNativeMaxBody + 1, ' ');
    struct Case {
        const char* name;
        NativeRequest request;
        unsigned allowed;
        int status;
        const char* error;
    };
    const Case cases[] = {
        {"no token", request("POST", "notify", "{\"title\":\"t\"}", {}), ~0u, 403, "token is missing"},
        {"wrong header token", request("GET", "info", "", {{"x-vantrel-token", "00"}}), ~0u, 403, "not the application's"},
        {"wrong cookie", request("GET", "info", "", {{"Cookie", "a=b; vantrel_token=1234"}}), ~0u, 403,
         "not the application's"},
        {"foreign origin", request("POST", "notify", "{\"title\":\"t\"}",
                                   {{"X-Vantrel-Token", kToken}, {"Origin", "http://evil.example"}}),
         ~0u, 403, "evil.example"},
        {"other port", request("GET", "info", "", {{"X-Vantrel-Token", kToken}, {"Origin", "http://127.0.0.1:9"}}),
         ~0u, 403, "refused"},
        {"null origin", request("GET", "info", "", {{"X-Vantrel-Token", kToken}, {"Origin", "null"}}), ~0u, 403,
         "refused"},
        {"capability", request("POST", "notify", "{\"title\":\"t\"}"), kClipboard, 403,
         "\"notify\" is not allowed: add AllowNative(\"notify\")"},
        {"shell capability", request("POST", "trash", "{\"path\":\"/\"}"), kNotify, 403, "AllowNative(\"shell\")"},
        {"bad JSON", request("POST", "notify", "{\"title\":"), ~0u, 400, "not JSON"},
        {"not an object", request("POST", "notify", "[1]"), ~0u, 400, "JSON object"},
        {"missing title", request("POST", "notify", "{\"body\":\"b\"}"), ~0u, 400, "\"title\" is missing"},
        {"wrong type", request("POST", "notify", "{\"title\":5}"), ~0u, 400, "\"title\" must be a text"},
        {"unknown field", request("POST", "notify", "{\"title\":\"t\",\"titel\":\"x\"}"), ~0u, 400,
         "unknown field \"titel\""},
        {"open outside", request("POST", "notify", "{\"title\":\"t\",\"open\":\"http://x/\"}"), ~0u, 400,
         "path of the site"},
        {"width", request("POST", "window", "{\"width\":0.5}"), ~0u, 400, "\"width\" must be a whole number"},
        {"dialog kind", request("POST", "dialog", "{\"kind\":\"print\"}"), ~0u, 400, "\"kind\" must be"},
        {"message text", request("POST", "dialog", "{\"kind\":\"message\"}"), ~0u, 400, "\"text\" is missing"},
        {"filter", request("POST", "dialog", "{\"kind\":\"open\",\"filters\":[{\"name\":\"T\",\"patterns\":[1]}]}"),
         ~0u, 400, "\"filters[0].patterns\" must be an array of texts"},
        {"name on open", request("POST", "dialog", "{\"kind\":\"open\",\"name\":\"a\"}"), ~0u, 400, "save dialogs"},
        {"uri and path", request("POST", "open", "{\"uri\":\"https://x\",\"path\":\"/\"}"), ~0u, 400, "either"},
        {"relative path", request("POST", "reveal", "{\"path\":\"etc\"}"), ~0u, 400, "absolute path"},
        {"missing path", request("POST", "trash", "{\"path\":\"/no/such/file\"}"), ~0u, 400, "does not exist"},
        {"no scheme", request("POST", "open", "{\"uri\":\"example.org\"}"), ~0u, 400, "scheme"},
        {"unknown call", request("GET", "shutdown"), ~0u, 404, "no call \"shutdown\""},
        {"method", request("GET", "notify"), ~0u, 405, "POST"},
        {"HEAD is no call", request("HEAD", "clipboard"), ~0u, 405, "GET, POST"},
        {"too large", request("POST", "clipboard", huge), ~0u, 413, "1 MiB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NativeReply reply = call(c.request, c.allowed);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.content_type, "application/json");
        EXPECT_NE(reply.body.find("\"ok\":false"), std::string::npos) << reply.body;
        EXPECT_NE(error_of(reply.body).find(c.error), std::string::npos) << reply.body;
    }
    EXPECT_TRUE(desktop.notifications.empty());
    EXPECT_TRUE(desktop.trashed.empty());
    // Without a token the call is not even looked up.
    EXPECT_EQ(call(request("GET", "shutdown", "", {})).status, 403);
}

TEST_F(NativeCalls, TheTokenComesAsCookieOrHeaderAndTheOwnOriginPasses) {
    const std::vector<std::vector<std::pair<std::string, std::string>>> accepted = {
        {{"X-Vantrel-Token", kToken}},
        {{"Cookie", "theme=dark"}, {"Cookie", std::string("a=1; vantrel_token=") + kToken + "; b=2"}},
        {{"Cookie", std::string("vantrel_token=") + kToken}, {"Origin", "http://127.0.0.1:8123"}},
        {{"X-Vantrel-Token", kToken}, {"Origin", "http://LOCALHOST:8123"}},
    };
    for (const auto& headers : accepted) {
        NativeReply reply = call(request("GET", "info", "", headers), kNotify | kTray);
        EXPECT_EQ(reply.status, 200) << reply.body;
    }
    Settings().ApplicationId = "vantrel.app.notes";
    Settings().DataPath = "/home/u/.local/share/vantrel/vantrel.app.notes/data";
    NativeReply info = call(request("GET", "info"), kNotify | kTray);
    EXPECT_NE(info.body.find("\"id\":\"vantrel.app.notes\""), std::string::npos) << info.body;
    EXPECT_NE(info.body.find("\"data_path\":\"/home/u/.local/share/vantrel/vantrel.app.notes/data\""),
              std::string::npos);
    EXPECT_NE(info.body.find("\"capabilities\":[\"notify\",\"tray\"]"), std::string::npos) << info.body;
    EXPECT_NE(info.body.find("\"version\":\""), std::string::npos);
}

TEST_F(NativeCalls, TheClientScriptNeedsNoToken) {
    NativeReply script = call(request("GET", "vantrel.js", "", {}));
    EXPECT_EQ(script.status, 200);
    EXPECT_EQ(script.content_type, "text/javascript; charset=utf-8");
    EXPECT_NE(script.body.find("window.vantrel"), std::string::npos);
    EXPECT_NE(script.body.find("notify: function"), std::string::npos);
}

TEST_F(NativeCalls, AcceptedCallsReachTheDesktopWithTheirFields) {
    std::string file = dir / "report.txt";
    testkit::write_file(file, "x");
    EXPECT_EQ(call(request("POST", "notify", "{\"title\":\"Saved\",\"body\":\"3 notes\",\"open\":\"/notes.php?id=1\","
                                             "\"icon\":\"document-save\"}")).body,
              "{\"ok\":true,\"id\":\"n1\"}");
    ASSERT_EQ(desktop.notifications.size(), 1u);
    EXPECT_EQ(desktop.notifications[0].title, "Saved");
    EXPECT_EQ(desktop.notifications[0].body, "3 notes");
    EXPECT_EQ(desktop.notifications[0].open, "/notes.php?id=1");
    EXPECT_EQ(desktop.notifications[0].icon, "document-save");

    // A member given as null is left out.
    EXPECT_EQ(call(request("POST", "notify", "{\"title\":\"t\",\"body\":null}")).status, 200);
    EXPECT_EQ(desktop.notifications.back().body, "");
    EXPECT_EQ(call(request("POST", "clipboard", "{\"text\":\"caf\\u00e9\"}")).status, 200);
    EXPECT_EQ(desktop.clipboard, "caf\xc3\xa9");
    EXPECT_EQ(call(request("GET", "clipboard")).body, "{\"ok\":true,\"text\":\"caf\xc3\xa9\"}");

    EXPECT_EQ(call(request("POST", "window", "{\"fullscreen\":true,\"width\":800.0,\"height\":600}")).status, 200);
    ASSERT_EQ(desktop.window_changes.size(), 1u);
    EXPECT_EQ(desktop.window_changes[0].fullscreen, std::optional<bool>(true));
    EXPECT_EQ(desktop.window_changes[0].width, std::optional<int>(800));
    EXPECT_FALSE(desktop.window_changes[0].maximized.has_value());
    desktop.state.fullscreen = true;
    desktop.state.width = 800;
    EXPECT_NE(call(request("GET", "window")).body.find("\"fullscreen\":true"), std::string::npos);

    EXPECT_EQ(call(request("POST", "open", "{\"path\":\"" + file + "\"}")).status, 200);
    EXPECT_EQ(call(request("POST", "open", "{\"uri\":\"mailto:a@example.org\"}")).status, 200);
    EXPECT_EQ(desktop.opened, (std::vector<std::string>{"file://" + file, "mailto:a@example.org"}));
    EXPECT_EQ(call(request("POST", "reveal", "{\"path\":\"" + file + "\"}")).status, 200);
    EXPECT_EQ(call(request("POST", "trash", "{\"path\":\"" + file + "\"}")).status, 200);
    EXPECT_EQ(desktop.revealed, std::vector<std::string>{file});
    EXPECT_EQ(desktop.trashed, std::vector<std::string>{file});

    EXPECT_EQ(call(request("POST", "tray", "{\"tooltip\":\"3 new\",\"visible\":false}")).status, 200);
    ASSERT_EQ(desktop.tray_changes.size(), 1u);
    EXPECT_EQ(desktop.tray_changes[0].tooltip, std::optional<std::string>("3 new"));
    EXPECT_EQ(desktop.tray_changes[0].visible, std::optional<bool>(false));

    Native().arguments = {"/home/u/a.txt", "notes://open?id=7"};
    EXPECT_EQ(call(request("GET", "arguments")).body,
              "{\"ok\":true,\"arguments\":[\"/home/u/a.txt\",\"notes://open?id=7\"]}");

    // Refused by the desktop: 409 with its reason.
    desktop.refuse = true;
    NativeReply refused = call(request("POST", "notify", "{\"title\":\"t\"}"));
    EXPECT_EQ(refused.status, 409);
    EXPECT_NE(refused.body.find("no notification service"), std::string::npos);
}

TEST_F(NativeCalls, ADialogAnswersWhenItIsDoneAndOneAtATime) {
    std::optional<NativeReply> first;
    RoutedRequest routed = RouteNativeRequest(
        request("POST", "dialog",
                "{\"kind\":\"save\",\"title\":\"Export\",\"name\":\"notes.txt\","
                "\"filters\":[{\"name\":\"Text\",\"patterns\":[\"*.txt\",\"*.md\"]}]}"),
        channel());
    ASSERT_FALSE(routed.reply);
    PerformNativeCall(routed.call, channel(), &desktop, [&](NativeReply r) { first = std::move(r); });
    EXPECT_FALSE(first) << "no reply before the dialog is answered";
    ASSERT_EQ(desktop.dialogs.size(), 1u);
    EXPECT_EQ(desktop.dialogs[0].kind, DialogRequest::Save);
    EXPECT_EQ(desktop.dialogs[0].name, "notes.txt");
    ASSERT_EQ(desktop.dialogs[0].filters.size(), 1u);
    EXPECT_EQ(desktop.dialogs[0].filters[0].patterns, (std::vector<std::string>{"*.txt", "*.md"}));

    NativeReply second = call(request("POST", "dialog", "{\"kind\":\"message\",\"text\":\"Sure?\"}"));
    EXPECT_EQ(second.status, 409);
    EXPECT_NE(second.body.find("already open"), std::string::npos);

    auto done = std::move(desktop.dialog_done);
    desktop.dialog_done = nullptr;
    done(DialogResult{{"/home/u/notes.txt"}, -1});
    ASSERT_TRUE(first);
    EXPECT_EQ(first->body, "{\"ok\":true,\"paths\":[\"/home/u/notes.txt\"]}");

    std::optional<NativeReply> message;
    routed = RouteNativeRequest(request("POST", "dialog", "{\"kind\":\"message\",\"text\":\"Sure?\",\"buttons\":"
                                                          "[\"No\",\"Yes\"]}"),
                                channel());
    PerformNativeCall(routed.call, channel(), &desktop, [&](NativeReply r) { message = std::move(r); });
    EXPECT_EQ(desktop.dialogs.back().buttons, (std::vector<std::string>{"No", "Yes"}));
    desktop.dialog_done(DialogResult{{}, 1});
    ASSERT_TRUE(message);
    EXPECT_EQ(message->body, "{\"ok\":true,\"button\":1}");
}

TEST_F(NativeCalls, WithoutADesktopCallsAreRefusedInThisState) {
    RoutedRequest routed = RouteNativeRequest(request("POST", "clipboard", "{\"text\":\"x\"}"), channel());
    NativeReply reply;
    PerformNativeCall(routed.call, channel(), nullptr, [&](NativeReply r) { reply = std::move(r); });
    EXPECT_EQ(reply.status, 409);
}

TEST_F(NativeCalls, AutostartWritesAndRemovesTheApplicationsEntry) {
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    Settings().ApplicationId = "vantrel.app.notes";
    EXPECT_EQ(call(request("GET", "autostart")).body, "{\"ok\":true,\"enabled\":false}");
    EXPECT_EQ(call(request("POST", "autostart", "{\"enabled\":true}")).body, "{\"ok\":true,\"enabled\":true}");
    const std::string file = dir / "config/autostart/vantrel.app.notes.desktop";
    std::string entry = testkit::read_file(file);
    EXPECT_NE(entry.find("[Desktop Entry]\nType=Application\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nExec=my-app\n"), std::string::npos) << entry;
    EXPECT_EQ(call(request("GET", "autostart")).body, "{\"ok\":true,\"enabled\":true}");
    EXPECT_EQ(call(request("POST", "autostart", "{\"enabled\":false}")).body, "{\"ok\":true,\"enabled\":false}");
    EXPECT_FALSE(testkit::file_exists(file));
    unsetenv("XDG_CONFIG_HOME");

    EXPECT_EQ(DesktopExec({"env", "VANTREL_APP_ID=a.b", "/opt/my apps/vantrel", "/srv/100%/x$y"}),
              "env VANTREL_APP_ID=a.b \"/opt/my apps/vantrel\" \"/srv/100%%/x\\\\$y\"");
    EXPECT_EQ(WithoutFieldCodes("my-app %U --x \"a  %f\""), "my-app --x \"a  %f\"");
}

// The interface on the application's real server: the test's thread is the
// user-interface thread (it runs the default main context while a client
// thread waits for its reply), so calls travel as in the desktop program.
class NativeOnServer : public NativeCalls, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        NativeCalls::SetUp();
        Settings().PrivateServer = GetParam();
        Native().allowed = kClipboard | kDialog;
        vantrel::set_fatal_hook([](const std::string& message) { ADD_FAILURE() << message; });
        testkit::write_file(dir / "site/index.html", "home");
        StartServer(dir / "site", "/usr/bin/php-cgi", 0);
        StartServerThread();
        port = ServerPort();
        token = ServerToken();
    }
    void TearDown() override {
        FreeServer();
        vantrel::set_fatal_hook({});
        NativeCalls::TearDown();
    }
    // The request text for a call with the token, `more` header lines and a body.
    std::string with_token(const std::string& method, const std::string& call, const std::string& body = "",
                           const std::string& more = "") {
        return request_text(method, call, "X-Vantrel-Token: " + token + "\r\n" + more, body);
    }
    std::string request_text(const std::string& method, const std::string& call, const std::string& headers,
                             const std::string& body = "") {
        std::string text = method + " /_vantrel/" + call + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                           "\r\n" + headers;
        if (method == "POST") text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
        return text + "\r\n" + body;
    }
    // Sends `text` from a client thread and runs the main context until the
    // reply has come (at most the client's 10 s).
    struct Pending {
        std::atomic<bool> done{false};
        std::string raw;
        std::thread client;
        ~Pending() {
            if (client.joinable()) client.join();
        }
    };
    std::unique_ptr<Pending> send(const std::string& text) {
        auto pending = std::make_unique<Pending>();
        Pending* p = pending.get();
        int to = port;
        p->client = std::thread([p, text, to] {
            p->raw = testkit::raw_request(to, text);
            p->done = true;
        });
        return pending;
    }
    bool run_main_context_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }
    testkit::HttpReply exchange(const std::string& text) {
        auto pending = send(text);
        run_main_context_until([&] { return pending->done.load(); }, std::chrono::seconds(12));
        pending->client.join();
        return testkit::parse_reply(pending->raw);
    }
    int port = 0;
    std::string token;
};

TEST_P(NativeOnServer, RefusalsAndCallsOverTheWire) {
    const bool private_server = GetParam();
    const std::string exactly_1_mib = "{\"text\":\"" + std::string(kNativeMaxBody - 11, 'x') + "\"}";
    struct Case {
        const char* name;
        std::string request;
        int status;
        const char* error;  // in the JSON reply; "" for no check
    };
    const Case cases[] = {
        {"no token", request_text("GET", "info", ""), 403, private_server ? "" : "token is missing"},
        {"wrong token", request_text("GET", "info", "X-Vantrel-Token: " + std::string(64, '0') + "\r\n"), 403,
         private_server ? "" : "not the application's"},
        {"wrong cookie", request_text("GET", "clipboard", "Cookie: vantrel_token=" + token.substr(1) + "\r\n"), 403,
         private_server ? "" : "not the application's"},
        {"foreign origin", with_token("POST", "clipboard", "{\"text\":\"x\"}", "Origin: http://evil.example\r\n"), 403,
         ""},
        {"foreign origin of a GET", with_token("GET", "clipboard", "", "Origin: http://evil.example\r\n"), 403,
         "evil.example"},
        {"capability not allowed", with_token("POST", "notify", "{\"title\":\"t\"}"), 403,
         "\"notify\" is not allowed: add AllowNative(\"notify\")"},
        {"bad JSON", with_token("POST", "clipboard", "{\"text\":"), 400, "not JSON"},
        {"unknown call", with_token("GET", "shutdown"), 404, "no call \"shutdown\""},
        {"over 1 MiB", "POST /_vantrel/clipboard HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Vantrel-Token: " + token +
                           "\r\nContent-Length: " + std::to_string(kNativeMaxBody + 1) + "\r\n\r\n",
         413, ""},
        {"a file of the site under the prefix is never served", with_token("GET", "index.html"), 404,
         "no call \"index.html\""},
        {"the client script", request_text("GET", "vantrel.js", "Cookie: vantrel_token=" + token + "\r\n"), 200, ""},
        {"info", with_token("GET", "info"), 200, ""},
        {"the cookie and the own origin", request_text("POST", "clipboard",
                                                       "Cookie: vantrel_token=" + token + "\r\nOrigin: http://127.0.0.1:" +
                                                           std::to_string(port) + "\r\n",
                                                       "{\"text\":\"from the page\"}"),
         200, ""},
        {"exactly 1 MiB", with_token("POST", "clipboard", exactly_1_mib), 200, ""},
    };
    testkit::write_file(dir / "site/_vantrel/index.html", "a file of the site");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testkit::HttpReply reply = exchange(c.request);
        EXPECT_EQ(reply.status, c.status) << reply.body;
        if (*c.error) {
            EXPECT_NE(error_of(reply.body).find(c.error), std::string::npos) << reply.body;
        }
        if (c.status != 200 && reply.headers["content-type"] == "application/json") {
            EXPECT_NE(reply.body.find("\"ok\":false"), std::string::npos) << reply.body;
        }
    }
    EXPECT_EQ(desktop.clipboard.size(), kNativeMaxBody - 11) << "the last call that was let through";
    EXPECT_EQ(desktop.threads, std::vector<std::thread::id>(2, std::this_thread::get_id()))
        << "calls run on the user-interface thread only";
    EXPECT_TRUE(desktop.notifications.empty());
    testkit::HttpReply info = exchange(with_token("GET", "info"));
    EXPECT_NE(info.body.find("\"capabilities\":[\"clipboard\",\"dialog\"]"), std::string::npos) << info.body;
}

TEST_P(NativeOnServer, ALongDialogLeavesTheServerAndOtherCallsAnswering) {
    auto dialog = send(with_token("POST", "dialog", "{\"kind\":\"save\",\"name\":\"notes.txt\"}"));
    ASSERT_TRUE(run_main_context_until([&] { return desktop.dialog_done != nullptr; }));
    // The dialog is open: pages, PHP and other calls are answered meanwhile.
    EXPECT_EQ(testkit::http_get(port, "/index.html", "X-Vantrel-Token: " + token + "\r\n").body, "home");
    testkit::HttpReply clipboard = exchange(with_token("GET", "clipboard"));
    EXPECT_EQ(clipboard.body, "{\"ok\":true,\"text\":\"from the desktop\"}");
    EXPECT_EQ(exchange(with_token("POST", "dialog", "{\"kind\":\"open\"}")).status, 409) << "one dialog at a time";
    EXPECT_FALSE(dialog->done.load());

    auto answer = std::move(desktop.dialog_done);
    desktop.dialog_done = nullptr;
    answer(DialogResult{{"/home/u/notes.txt"}, -1});
    ASSERT_TRUE(run_main_context_until([&] { return dialog->done.load(); }));
    testkit::HttpReply reply = testkit::parse_reply(dialog->raw);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "{\"ok\":true,\"paths\":[\"/home/u/notes.txt\"]}");
    EXPECT_EQ(reply.headers["cache-control"], "no-store");
    EXPECT_EQ(desktop.threads, std::vector<std::thread::id>(3, std::this_thread::get_id()));
}

INSTANTIATE_TEST_SUITE_P(PrivateAndOpen, NativeOnServer, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& mode) { return mode.param ? "Private" : "Open"; });

using NativeScripts = NativeCalls;

TEST_F(NativeScripts, AllowNativeTakesKnownNamesOnly) {
    EXPECT_TRUE(completes("AllowNative('notify', 'tray')"));
    EXPECT_EQ(Native().allowed, unsigned(kNotify | kTray));
    run("ok, message = pcall(AllowNative, 'clipboard', 'camera')");
    EXPECT_EQ(global("ok"), "false");
    EXPECT_NE(caught_message().find("unknown capability 'camera'"), std::string::npos) << caught_message();
    EXPECT_EQ(Native().allowed, unsigned(kNotify | kTray)) << "nothing of a refused call is allowed";
    EXPECT_FALSE(completes("AllowNative()"));
    EXPECT_FALSE(completes("AllowNative({})"));
}

TEST_F(NativeScripts, DesktopFunctionsReachTheDesktop) {
    Native().arguments = {"/tmp/a.txt", "x"};
    run("args = GetArguments() n = #args first = args[1]");
    EXPECT_EQ(global("n"), "2");
    EXPECT_EQ(global("first"), "/tmp/a.txt");

    run("id = Notify('Backup done', 'All notes saved', '/notes.php')");
    EXPECT_EQ(global("id"), "n1");
    ASSERT_EQ(desktop.notifications.size(), 1u);
    EXPECT_EQ(desktop.notifications[0].open, "/notes.php");
    EXPECT_FALSE(completes("Notify('t', 'b', 'http://elsewhere/')"));
    EXPECT_FALSE(completes("Notify()"));
    EXPECT_EQ(desktop.notifications.size(), 1u);

    EXPECT_TRUE(completes("SetFullscreen(true)"));
    ASSERT_EQ(desktop.window_changes.size(), 1u);
    EXPECT_EQ(desktop.window_changes[0].fullscreen, std::optional<bool>(true));
    EXPECT_FALSE(completes("SetFullscreen('yes')"));

    EXPECT_TRUE(completes("SetClipboardText('a\\0b')"));
    EXPECT_EQ(desktop.clipboard, std::string("a\0b", 3));

    ScopedCwd cwd(dir.path());
    testkit::write_file(dir / "doc.txt", "x");
    run("started = OpenExternal('doc.txt') web = OpenExternal('https://example.org/')");
    EXPECT_EQ(global("started"), "true");
    EXPECT_EQ(desktop.opened, (std::vector<std::string>{"file://" + dir.path() + "/doc.txt", "https://example.org/"}));

    EXPECT_FALSE(completes("SetTrayIcon('missing.png')"));
    EXPECT_EQ(desktop.tray_updates, 0);
    testkit::write_file(dir / "tray.png", "png");
    EXPECT_TRUE(completes("SetTrayIcon('tray.png') SetCloseToTray(true)"));
    EXPECT_EQ(Native().tray_icon, dir / "tray.png");
    EXPECT_TRUE(Native().close_to_tray);
    EXPECT_EQ(desktop.tray_updates, 2);
}

TEST_F(NativeScripts, EventCommandsGoToThePageInsteadOfNavigating) {
    DispatchCommand("event:save");
    DispatchCommand("event:");
    EXPECT_EQ(window.page_events, std::vector<std::string>{"{\"type\":\"command\",\"name\":\"save\"}"});
    EXPECT_TRUE(window.navigations.empty());
    EXPECT_EQ(OpenEvent({"/a b.txt"}), "{\"type\":\"open\",\"arguments\":[\"/a b.txt\"]}");
    EXPECT_EQ(NotificationEvent("n2"), "{\"type\":\"notification\",\"id\":\"n2\"}");
    EXPECT_EQ(PageEventScript("{}"), "window.dispatchEvent(new CustomEvent('vantrel', {detail: {}}));");
}

TEST_F(NativeScripts, TheTrayMenuScriptBuildsMenusOfItsOwn) {
    ScopedCwd cwd(dir.path());
    testkit::write_file(dir / "onBuildMainMenu.lua", "NewMenu() AddMenuItem('miA', 'A', '', 'cmd:Refresh') AddMenu('m', 'M')");
    testkit::write_file(dir / "onBuildTrayMenu.lua",
                        "NewMenu() AddMenuItem('miNew', '&New note', '', 'event:new') "
                        "AddMenuItem('miQuit', 'Quit', '', 'cmd:Exit') AddMenu('mnuTray', 'Notes')");
    BuildMainMenu();
    const std::vector<TopMenuModel>& tray = BuildTrayMenu();
    ASSERT_EQ(tray.size(), 1u);
    ASSERT_EQ(tray[0].items.size(), 2u);
    EXPECT_EQ(tray[0].items[0].caption, "&New note");
    EXPECT_EQ(MainMenuItems().size(), 1u) << "the tray's menus are not the main menu's";
    MenuItemClick(tray[0].items[0].command_index);
    EXPECT_EQ(window.page_events, std::vector<std::string>{"{\"type\":\"command\",\"name\":\"new\"}"});
    MenuItemClick(tray[0].items[1].command_index);
    EXPECT_EQ(window.closes, 1);
}

TEST(NativeArguments, FilesBecomeAbsoluteAndTheRestStays) {
    testkit::TempDir dir;
    testkit::write_file(dir / "notes/a.txt", "x");
    EXPECT_EQ(ResolveArguments({"notes/a.txt", "--new", "notes://x", "word", "/abs", "notes/../notes/a.txt"}, dir.path()),
              (std::vector<std::string>{dir / "notes/a.txt", "--new", "notes://x", "word", "/abs", dir / "notes/a.txt"}));
}

}  // namespace
}  // namespace shelltest
