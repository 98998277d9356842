#include "shell/model/native_router.hpp"

#include <strings.h>
#include <sys/stat.h>

#include <glib.h>
#include <openssl/crypto.h>

#include <memory>

#include "shell/model/Fmain.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/native_autostart.hpp"
#include "shell/model/native_json.hpp"
#include "shell/model/native_settings.hpp"

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "0"
#endif

namespace vantrel::shell {
namespace {

constexpr int kMaxWindowSide = 32767;
constexpr std::size_t kMaxButtons = 10;

bool same_text(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The token as a cookie of one of the request's Cookie headers.
bool cookie_carries(std::string_view cookies, std::string_view token) {
    const std::string_view name = kNativeTokenCookie;
    while (!cookies.empty()) {
        std::size_t end = cookies.find(';');
        std::string_view pair = cookies.substr(0, end);
        while (!pair.empty() && (pair.front() == ' ' || pair.front() == '\t')) pair.remove_prefix(1);
        while (!pair.empty() && (pair.back() == ' ' || pair.back() == '\t')) pair.remove_suffix(1);
        if (pair.size() == name.size() + 1 + token.size() && pair.substr(0, name.size()) == name &&
            pair[name.size()] == '=' && CRYPTO_memcmp(pair.data() + name.size() + 1, token.data(), token.size()) == 0)
            return true;
        if (end == std::string_view::npos) break;
        cookies.remove_prefix(end + 1);
    }
    return false;
}

bool header_token_matches(std::string_view given, std::string_view token) {
    return given.size() == token.size() && CRYPTO_memcmp(given.data(), token.data(), token.size()) == 0;
}

// http://127.0.0.1:PORT or http://localhost:PORT (no port for 80), as a
// browser writes the server's own origin.
bool own_origin(std::string_view origin, int port) {
    const std::string with_port = ":" + std::to_string(port);
    for (const char* host : {"127.0.0.1", "localhost"}) {
        const std::string base = std::string("http://") + host;
        if (same_text(origin, base + with_port)) return true;
        if (port == 80 && same_text(origin, base)) return true;
    }
    return false;
}

enum class TokenCheck { Missing, Wrong, Right };

TokenCheck check_token(const NativeRequest& request, const std::string& token) {
    bool offered = false;
    for (const auto& [name, value] : request.headers) {
        if (same_text(name, kNativeTokenHeader)) {
            offered = true;
            if (!token.empty() && header_token_matches(value, token)) return TokenCheck::Right;
        } else if (same_text(name, "Cookie")) {
            if (value.find(std::string(kNativeTokenCookie) + "=") != std::string::npos) offered = true;
            if (!token.empty() && cookie_carries(value, token)) return TokenCheck::Right;
        }
    }
    return offered ? TokenCheck::Wrong : TokenCheck::Missing;
}

struct CallEntry {
    const char* name;
    unsigned capability;  // 0: always allowed
    std::optional<NativeCall::Kind> get, post;
};

const CallEntry kCalls[] = {
    {"info", 0, NativeCall::Info, std::nullopt},
    {"arguments", 0, NativeCall::Arguments, std::nullopt},
    {"notify", kNotify, std::nullopt, NativeCall::Notify},
    {"clipboard", kClipboard, NativeCall::ClipboardRead, NativeCall::ClipboardWrite},
    {"window", kWindow, NativeCall::WindowRead, NativeCall::WindowWrite},
    {"dialog", kDialog, std::nullopt, NativeCall::Dialog},
    {"open", kShell, std::nullopt, NativeCall::Open},
    {"reveal", kShell, std::nullopt, NativeCall::Reveal},
    {"trash", kShell, std::nullopt, NativeCall::Trash},
    {"tray", kTray, std::nullopt, NativeCall::Tray},
    {"autostart", kAutostart, NativeCall::AutostartRead, NativeCall::AutostartWrite},
};

const CallEntry* find_call(std::string_view name) {
    for (const CallEntry& c : kCalls)
        if (name == c.name) return &c;
    return nullptr;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// An absolute path of something that exists.
void check_existing_path(JsonFields& fields, const char* name, const std::string& path) {
    if (path.empty() || path[0] != '/')
        fields.Fail("\"" + std::string(name) + "\" must be an absolute path");
    else if (!exists(path))
        fields.Fail("\"" + std::string(name) + "\": " + path + " does not exist");
}

// An icon name ("mail-unread") or an absolute path of an image that exists.
void check_icon(JsonFields& fields, const char* name, const std::string& icon) {
    if (icon.find('/') == std::string::npos) {
        if (icon.empty()) fields.Fail("\"" + std::string(name) + "\" must not be empty");
        return;
    }
    check_existing_path(fields, name, icon);
}

bool has_scheme(const std::string& uri) {
    std::size_t colon = uri.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    if (!g_ascii_isalpha(uri[0])) return false;
    for (std::size_t i = 1; i < colon; ++i) {
        char c = uri[i];
        if (!g_ascii_isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

void read_notification(JsonFields& f, NotificationRequest& n) {
    n.title = f.Text("title", true).value_or("");
    n.body = f.Text("body").value_or("");
    if (auto icon = f.Text("icon")) {
        n.icon = *icon;
        check_icon(f, "icon", n.icon);
    }
    n.open = f.Text("open").value_or("");
    if (f.ok() && n.title.empty()) f.Fail("\"title\" must not be empty");
    if (f.ok() && !n.open.empty() && (n.open[0] != '/' || n.open.rfind("//", 0) == 0))
        f.Fail("\"open\" must be a path of the site, starting with \"/\"");
}

void read_window(JsonFields& f, WindowChange& w) {
    w.fullscreen = f.Boolean("fullscreen");
    w.maximized = f.Boolean("maximized");
    w.minimized = f.Boolean("minimized");
    w.above = f.Boolean("above");
    if (auto v = f.Integer("width", 1, kMaxWindowSide)) w.width = static_cast<int>(*v);
    if (auto v = f.Integer("height", 1, kMaxWindowSide)) w.height = static_cast<int>(*v);
    w.present = f.Boolean("present").value_or(false);
}

void read_dialog(JsonFields& f, DialogRequest& d) {
    static const std::pair<const char*, DialogRequest::Kind> kinds[] = {
        {"open", DialogRequest::Open},   {"open-multiple", DialogRequest::OpenMultiple},
        {"folder", DialogRequest::Folder}, {"save", DialogRequest::Save},
        {"message", DialogRequest::Message},
    };
    std::string kind = f.Text("kind", true).value_or("");
    bool known = false;
    for (const auto& [name, value] : kinds)
        if (kind == name) d.kind = value, known = true;
    if (f.ok() && !known)
        f.Fail("\"kind\" must be \"open\", \"open-multiple\", \"folder\", \"save\" or \"message\"");
    d.title = f.Text("title").value_or("");
    const bool message = d.kind == DialogRequest::Message;
    if (auto filters = f.Objects("filters")) {
        if (message) f.Fail("\"filters\" are for file dialogs");
        for (JsonFields& filter : *filters) {
            FileFilter ff;
            ff.name = filter.Text("name", true).value_or("");
            ff.patterns = filter.Texts("patterns", true).value_or(std::vector<std::string>{});
            if (filter.ok() && ff.patterns.empty()) filter.Fail("\"patterns\" of a filter must not be empty");
            filter.Finish();
            d.filters.push_back(std::move(ff));
        }
    }
    if (auto name = f.Text("name")) {
        if (d.kind != DialogRequest::Save) f.Fail("\"name\" is for save dialogs");
        d.name = *name;
    }
    if (auto text = f.Text("text")) {
        if (!message) f.Fail("\"text\" is for message dialogs");
        d.text = *text;
    }
    if (auto buttons = f.Texts("buttons")) {
        if (!message) f.Fail("\"buttons\" are for message dialogs");
        if (buttons->empty() || buttons->size() > kMaxButtons) f.Fail("\"buttons\" must hold 1 to 10 texts");
        d.buttons = *buttons;
    }
    if (f.ok() && message && d.text.empty()) f.Fail("\"text\" is missing");
    if (message && d.buttons.empty()) d.buttons = {"OK"};
}

void read_open(JsonFields& f, std::string& target) {
    auto uri = f.Text("uri");
    auto path = f.Text("path");
    if (!f.ok()) return;
    if (uri.has_value() == path.has_value()) {
        f.Fail("give either \"uri\" or \"path\"");
    } else if (uri) {
        if (!has_scheme(*uri)) f.Fail("\"uri\" must start with a scheme, such as https:");
        target = *uri;
    } else {
        check_existing_path(f, "path", *path);
        if (!f.ok()) return;
        gchar* file_uri = g_filename_to_uri(path->c_str(), nullptr, nullptr);
        if (file_uri == nullptr) f.Fail("\"path\" cannot be written as a file URI");
        target = file_uri ? file_uri : "";
        g_free(file_uri);
    }
}

void read_tray(JsonFields& f, TrayChange& t) {
    t.tooltip = f.Text("tooltip");
    t.icon = f.Text("icon");
    if (t.icon) check_icon(f, "icon", *t.icon);
    t.visible = f.Boolean("visible");
}

// Reads the body of a POST call into `call`; false with `fields` holding why.
void read_body(JsonFields& f, NativeCall& call) {
    switch (call.kind) {
        case NativeCall::Notify: read_notification(f, call.notification); break;
        case NativeCall::ClipboardWrite: call.text = f.Text("text", true).value_or(""); break;
        case NativeCall::WindowWrite: read_window(f, call.window); break;
        case NativeCall::Dialog: read_dialog(f, call.dialog); break;
        case NativeCall::Open: read_open(f, call.target); break;
        case NativeCall::Reveal:
        case NativeCall::Trash:
            call.target = f.Text("path", true).value_or("");
            if (f.ok()) check_existing_path(f, "path", call.target);
            break;
        case NativeCall::Tray: read_tray(f, call.tray); break;
        case NativeCall::AutostartWrite: call.enabled = f.Boolean("enabled", true).value_or(false); break;
        default: break;
    }
    f.Finish();
}

NativeReply ok_reply(JsonOut& out) {
    NativeReply reply;
    reply.body = out.Text();
    reply.headers.emplace_back("Cache-Control", "no-store");
    return reply;
}

NativeReply ok_reply() {
    JsonOut out;
    out.Field("ok", true);
    return ok_reply(out);
}

NativeReply outcome_reply(const Outcome& outcome) {
    return outcome ? NativeFailure(409, outcome->message) : ok_reply();
}

NativeReply window_reply(const WindowState& s) {
    JsonOut out;
    out.Field("ok", true)
        .Field("visible", s.visible)
        .Field("focused", s.focused)
        .Field("fullscreen", s.fullscreen)
        .Field("maximized", s.maximized)
        .Field("minimized", s.minimized)
        .Field("above", s.above)
        .Field("width", s.width)
        .Field("height", s.height);
    return ok_reply(out);
}

NativeReply dialog_reply(const DialogRequest& request, const DialogResult& result) {
    JsonOut out;
    out.Field("ok", true);
    if (request.kind == DialogRequest::Message)
        out.Field("button", result.button);
    else
        out.Field("paths", result.paths);
    return ok_reply(out);
}

NativeReply autostart_reply(bool enabled) {
    JsonOut out;
    out.Field("ok", true).Field("enabled", enabled);
    return ok_reply(out);
}

}  // namespace

NativeReply NativeFailure(int status, const std::string& message) {
    JsonOut out;
    out.Field("ok", false).Field("error", message);
    NativeReply reply;
    reply.status = status;
    reply.body = out.Text();
    reply.headers.emplace_back("Cache-Control", "no-store");
    return reply;
}

RoutedRequest RouteNativeRequest(const NativeRequest& request, const NativeChannel& channel) {
    RoutedRequest routed;
    auto refuse = [&](int status, const std::string& message) {
        routed.reply = NativeFailure(status, message);
        return routed;
    };
    if (request.path.compare(0, kNativePrefix.size(), kNativePrefix) != 0) return refuse(404, "not a native call");
    if (request.body.size() > kNativeMaxBody) return refuse(413, "the body is larger than 1 MiB");
    const std::string name = request.path.substr(kNativePrefix.size());
    const bool get = request.method == "GET";

    // The client script is the same for everyone and tells nothing: no token needed.
    if (name == "vantrel.js" && (get || request.method == "HEAD")) {
        NativeReply script;
        script.content_type = "text/javascript; charset=utf-8";
        script.body = kNativeClientScript;
        script.headers.emplace_back("Cache-Control", "no-cache");
        routed.reply = std::move(script);
        return routed;
    }

    const std::string origin = request.header("Origin");
    if (!origin.empty() && !own_origin(origin, channel.port))
        return refuse(403, "calls from " + origin + " are refused: only the application's own pages may call");
    switch (check_token(request, channel.token)) {
        case TokenCheck::Missing:
            return refuse(403, std::string("the application's token is missing: send it as the ") +
                                   kNativeTokenCookie + " cookie or the " + kNativeTokenHeader +
                                   " header (programs find it in VANTREL_SERVER_TOKEN)");
        case TokenCheck::Wrong:
            return refuse(403, "the token is not the application's");
        case TokenCheck::Right:
            break;
    }

    const CallEntry* entry = find_call(name);
    if (entry == nullptr) return refuse(404, "there is no call \"" + name + "\"");
    std::optional<NativeCall::Kind> kind = get ? entry->get : request.method == "POST" ? entry->post : std::nullopt;
    if (!kind) {
        std::string allow = entry->get && entry->post ? "GET, POST" : entry->get ? "GET" : "POST";
        routed.reply = NativeFailure(405, "\"" + name + "\" is called with " + allow);
        routed.reply->headers.emplace_back("Allow", allow);
        return routed;
    }
    if (entry->capability != 0 && (channel.allowed & entry->capability) == 0) {
        const char* capability = CapabilityName(static_cast<Capability>(entry->capability));
        return refuse(403, std::string("the capability \"") + capability + "\" is not allowed: add AllowNative(\"" +
                               capability + "\") to onInit.lua");
    }
    routed.call.kind = *kind;
    if (!get) {
        std::string error;
        std::optional<JsonFields> fields = JsonFields::Parse(request.body, error);
        if (!fields) return refuse(400, error);
        read_body(*fields, routed.call);
        if (!fields->ok()) return refuse(400, fields->error());
    }
    return routed;
}

void PerformNativeCall(const NativeCall& call, const NativeChannel& channel, NativePort* port,
                       std::function<void(NativeReply)> done) {
    if (call.kind == NativeCall::Info) {
        JsonOut out;
        out.Field("ok", true)
            .Field("id", Settings().ApplicationId)
            .Field("version", VANTREL_VERSION)
            .Field("data_path", Settings().DataPath)
            .Field("capabilities", CapabilityNames(channel.allowed));
        return done(ok_reply(out));
    }
    if (call.kind == NativeCall::Arguments) {
        JsonOut out;
        out.Field("ok", true).Field("arguments", Native().arguments);
        return done(ok_reply(out));
    }
    if (call.kind == NativeCall::AutostartRead) return done(autostart_reply(AutostartEnabled(Settings().ApplicationId)));
    if (port == nullptr) return done(NativeFailure(409, "the desktop is not ready"));
    switch (call.kind) {
        case NativeCall::Notify: {
            Refusal why;
            std::optional<std::string> id = port->notify(call.notification, why);
            if (!id) return done(NativeFailure(409, why.message));
            JsonOut out;
            out.Field("ok", true).Field("id", *id);
            return done(ok_reply(out));
        }
        case NativeCall::ClipboardRead:
            return port->read_clipboard_text([done](std::string text) {
                JsonOut out;
                out.Field("ok", true).Field("text", text);
                done(ok_reply(out));
            });
        case NativeCall::ClipboardWrite: return done(outcome_reply(port->set_clipboard_text(call.text)));
        case NativeCall::WindowRead: return done(window_reply(port->window_state()));
        case NativeCall::WindowWrite: return done(outcome_reply(port->change_window(call.window)));
        case NativeCall::Dialog: {
            DialogRequest request = call.dialog;
            // Shared, so that the reply is sent by whichever of the two paths ends the call.
            auto reply = std::make_shared<std::function<void(NativeReply)>>(done);
            Outcome refused = port->run_dialog(request, [request, reply](DialogResult result) {
                (*reply)(dialog_reply(request, result));
            });
            if (refused) (*reply)(NativeFailure(409, refused->message));
            return;
        }
        case NativeCall::Open: return done(outcome_reply(port->open_with_default(call.target)));
        case NativeCall::Reveal:
            return port->reveal(call.target, [done](Outcome outcome) { done(outcome_reply(outcome)); });
        case NativeCall::Trash: return done(outcome_reply(port->trash(call.target)));
        case NativeCall::Tray: return done(outcome_reply(port->change_tray(call.tray)));
        case NativeCall::AutostartWrite: {
            std::string error;
            const ShellSettings& s = Settings();
            if (!SetAutostart(call.enabled, s.ApplicationId, ApplicationTitle(), port->launcher_command(), error))
                return done(NativeFailure(409, error));
            return done(autostart_reply(AutostartEnabled(s.ApplicationId)));
        }
        default: return done(NativeFailure(404, "unknown call"));
    }
}

}  // namespace vantrel::shell
