#include "navigation_policy.hpp"

#include <cctype>
#include <charconv>

namespace vantrel::desktop {

namespace {

bool equals_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The scheme of an address ("" when it has none).
std::string_view scheme_of(std::string_view uri) {
    std::size_t colon = uri.find(':');
    if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(uri[0]))) return {};
    for (std::size_t i = 0; i < colon; ++i) {
        char c = uri[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return {};
    }
    return uri.substr(0, colon);
}

bool is_blank(std::string_view uri) { return uri.empty() || equals_nocase(uri, "about:blank"); }

}  // namespace

bool IsOwnOrigin(std::string_view uri, int port) {
    if (!equals_nocase(scheme_of(uri), "http") || uri.substr(4, 3) != "://") return false;
    std::string_view rest = uri.substr(7);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (authority.find('@') != std::string_view::npos) return false;  // user info: not a plain origin
    std::string_view host = authority;
    int uri_port = 80;
    if (std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        std::string_view digits = authority.substr(colon + 1);
        if (!digits.empty()) {
            auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), uri_port);
            if (error != std::errc() || end != digits.data() + digits.size()) return false;
        }
    }
    return uri_port == port && (host == "127.0.0.1" || equals_nocase(host, "localhost"));
}

bool OpensOutside(std::string_view uri) {
    std::string_view scheme = scheme_of(uri);
    for (std::string_view outside : {"http", "https", "mailto", "tel"})
        if (equals_nocase(scheme, outside)) return true;
    return false;
}

NavigationChoice ChooseNavigation(const NavigationFacts& f, int port) {
    const bool foreign = !IsOwnOrigin(f.uri, port) && OpensOutside(f.uri);
    if (f.new_window) {
        if (IsOwnOrigin(f.uri, port) || is_blank(f.uri)) return NavigationChoice::OpenPopup;
        // Another web site asked for by the user opens outside; one opened by a
        // script on its own is not opened at all.
        if (foreign && f.user_gesture) return NavigationChoice::OpenOutside;
        return NavigationChoice::Refuse;
    }
    if (f.link_clicked && f.user_gesture && !f.subframe && foreign) return NavigationChoice::OpenOutside;
    return NavigationChoice::LoadInside;
}

std::string StatusText::current() const {
    if (!link_.empty()) return link_;
    if (loading_) return "Loading...";
    if (!result_.empty()) return result_;
    return server_error_;
}

std::string SavedText(std::string_view file) { return "Saved " + std::string(file); }

std::string DownloadFailedText(std::string_view file, std::string_view why) {
    return "Could not save " + std::string(file.empty() ? "the download" : file) + ": " + std::string(why);
}

std::string NoHandlerText(std::string_view uri) {
    return "No application is set up to open " + std::string(uri);
}

std::string ServerErrorText(int status, std::string_view path) {
    return "Server error " + std::to_string(status) + " on " + std::string(path.empty() ? "/" : path);
}

}  // namespace vantrel::desktop
