#include "shell/model/native_autostart.hpp"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vantrel::shell {
namespace {

std::string config_home() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config";
}

// One line of a desktop entry's value: no line breaks, backslashes escaped.
std::string entry_value(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

constexpr const char* kReserved = " \t\n\"'\\><~|&;$*?#()`";

}  // namespace

std::string AutostartFile(const std::string& id) { return config_home() + "/autostart/" + id + ".desktop"; }

std::string AutostartEntry(const std::string& id, const std::string& name, const std::string& exec) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" + entry_value(name) + "\n"
           "Exec=" + exec + "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n"
           "X-Vantrel-Application=" + id + "\n";
}

bool SetAutostart(bool enabled, const std::string& id, const std::string& name, const std::string& exec,
                  std::string& error) {
    const std::string file = AutostartFile(id);
    if (!enabled) {
        if (g_unlink(file.c_str()) != 0 && errno != ENOENT) {
            error = "cannot remove " + file + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    if (exec.empty()) {
        error = "the application's launcher is not known";
        return false;
    }
    gchar* folder = g_path_get_dirname(file.c_str());
    int made = g_mkdir_with_parents(folder, 0700);
    g_free(folder);
    GError* failure = nullptr;
    const std::string entry = AutostartEntry(id, name, exec);
    // Written beside the file and renamed over it: a login never sees half an entry.
    if (made != 0 || !g_file_set_contents(file.c_str(), entry.data(), static_cast<gssize>(entry.size()), &failure)) {
        error = "cannot write " + file + ": " + (failure ? failure->message : std::strerror(errno));
        g_clear_error(&failure);
        return false;
    }
    return true;
}

bool AutostartEnabled(const std::string& id) {
    GKeyFile* entry = g_key_file_new();
    bool on = false;
    if (g_key_file_load_from_file(entry, AutostartFile(id).c_str(), G_KEY_FILE_NONE, nullptr)) {
        auto flag = [&](const char* key, bool fallback) {
            GError* missing = nullptr;
            gboolean value = g_key_file_get_boolean(entry, G_KEY_FILE_DESKTOP_GROUP, key, &missing);
            bool result = missing ? fallback : value != FALSE;
            g_clear_error(&missing);
            return result;
        };
        on = !flag("Hidden", false) && flag("X-GNOME-Autostart-enabled", true);
    }
    g_key_file_free(entry);
    return on;
}

std::string DesktopExec(const std::vector<std::string>& argv) {
    std::string exec;
    for (const std::string& arg : argv) {
        if (!exec.empty()) exec += ' ';
        std::string quoted;
        const bool quote = arg.empty() || arg.find_first_of(kReserved) != std::string::npos;
        for (char c : arg) {
            if (c == '%') {
                quoted += "%%";
            } else if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
                quoted += '\\';
                quoted += c;
            } else {
                quoted += c;
            }
        }
        exec += quote ? "\"" + quoted + "\"" : quoted;
    }
    // The value's own escape comes on top of the quoting: "\" is written "\\".
    std::string value;
    for (char c : exec) {
        if (c == '\\') value += "\\\\";
        else if (c == '\n') value += "\\n";
        else value += c;
    }
    return value;
}

std::string WithoutFieldCodes(const std::string& exec) {
    // Words are split at blanks outside double quotes, so a quoted argument
    // keeps its blanks.
    std::vector<std::string> words(1);
    bool quoted = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        char c = exec[i];
        if (c == '\\' && i + 1 < exec.size()) {
            words.back() += c;
            words.back() += exec[++i];
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (c == ' ' && !quoted) {
            if (!words.back().empty()) words.emplace_back();
            continue;
        }
        words.back() += c;
    }
    std::string out;
    for (const std::string& word : words) {
        const bool field_code = word.size() == 2 && word[0] == '%' && std::strchr("fFuUdDnNickvm", word[1]);
        if (word.empty() || field_code) continue;
        if (!out.empty()) out += ' ';
        out += word;
    }
    return out;
}

}  // namespace vantrel::shell
