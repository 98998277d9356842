#include "shell/model/php_extensions.hpp"

#include <sys/stat.h>

#include <lua.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <utility>

#include "server/server.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/Webserver.hpp"
#include "shell/model/app_data.hpp"
#include "shell/model/app_manifest.hpp"
#include "shell/model/developer.hpp"
#include "shell/model/program_output.hpp"

namespace vantrel::shell {
namespace {

// Module name (lower case) -> the Debian package that brings it. "php-cgi":
// loaded by php-cgi itself (php8.2-cgi and the packages it depends on).
// vantrel-pack holds the same table for the packages' Depends.
constexpr std::pair<const char*, const char*> kPackages[] = {
    {"pdo_sqlite", "php-sqlite3"}, {"sqlite3", "php-sqlite3"},   {"gd", "php-gd"},
    {"intl", "php-intl"},          {"mbstring", "php-mbstring"}, {"dom", "php-xml"},
    {"simplexml", "php-xml"},      {"xml", "php-xml"},           {"xmlreader", "php-xml"},
    {"xmlwriter", "php-xml"},      {"xsl", "php-xml"},           {"curl", "php-curl"},
    {"zip", "php-zip"},            {"mysqli", "php-mysql"},      {"mysqlnd", "php-mysql"},
    {"pdo_mysql", "php-mysql"},    {"pgsql", "php-pgsql"},       {"pdo_pgsql", "php-pgsql"},
    {"bcmath", "php-bcmath"},      {"bz2", "php-bz2"},           {"gmp", "php-gmp"},
    {"soap", "php-soap"},          {"ldap", "php-ldap"},         {"imagick", "php-imagick"},
    {"apcu", "php-apcu"},          {"redis", "php-redis"},       {"memcached", "php-memcached"},
    {"xdebug", "php-xdebug"},      {"yaml", "php-yaml"},         {"odbc", "php-odbc"},
    {"pdo_odbc", "php-odbc"},      {"snmp", "php-snmp"},         {"tidy", "php-tidy"},
    {"enchant", "php-enchant"},    {"pspell", "php-pspell"},     {"readline", "php-readline"},
    {"opcache", "php-cgi"},        {"zend opcache", "php-cgi"},  {"core", "php-cgi"},
    {"date", "php-cgi"},           {"filter", "php-cgi"},        {"hash", "php-cgi"},
    {"json", "php-cgi"},           {"libxml", "php-cgi"},        {"openssl", "php-cgi"},
    {"pcre", "php-cgi"},           {"random", "php-cgi"},        {"reflection", "php-cgi"},
    {"session", "php-cgi"},        {"sodium", "php-cgi"},        {"spl", "php-cgi"},
    {"standard", "php-cgi"},       {"zlib", "php-cgi"},          {"cgi-fcgi", "php-cgi"},
    {"pcntl", "php-cgi"},          {"calendar", "php-cgi"},      {"ctype", "php-cgi"},
    {"exif", "php-cgi"},           {"ffi", "php-cgi"},           {"fileinfo", "php-cgi"},
    {"ftp", "php-cgi"},            {"gettext", "php-cgi"},       {"iconv", "php-cgi"},
    {"pdo", "php-cgi"},            {"phar", "php-cgi"},          {"posix", "php-cgi"},
    {"shmop", "php-cgi"},          {"sockets", "php-cgi"},       {"sysvmsg", "php-cgi"},
    {"sysvsem", "php-cgi"},        {"sysvshm", "php-cgi"},       {"tokenizer", "php-cgi"},
};

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string trimmed(const std::string& s) {
    std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

bool module_name(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == ' ';
        if (!ok) return false;
    }
    return true;
}

std::string html_escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// What identifies a file's content without reading it.
std::string file_identity(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return path + " missing";
    std::ostringstream id;
    id << path << ' ' << st.st_dev << ' ' << st.st_ino << ' ' << st.st_size << ' ' << st.st_mtim.tv_sec << '.'
       << st.st_mtim.tv_nsec << ' ' << st.st_ctim.tv_sec << '.' << st.st_ctim.tv_nsec;
    return id.str();
}

// The cache's first line: the interpreter file, the arguments and the files
// they name ("-c php.ini"), so that any change to them reads the list anew.
std::string cache_key(const std::string& interpreter, const std::vector<std::string>& arguments) {
    std::string key = "interpreter " + file_identity(interpreter);
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        key += "\targ " + arguments[i];
        if (arguments[i] == "-c" && i + 1 < arguments.size()) key += "\tini " + file_identity(arguments[i + 1]);
    }
    for (char& c : key)
        if (c == '\n') c = ' ';
    return key;
}

// The module names of `php -m` output: every line that is not a "[...]" heading.
std::vector<std::string> parse_module_list(const std::string& out) {
    std::vector<std::string> names;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == '[') continue;
        if (std::find(names.begin(), names.end(), line) == names.end()) names.push_back(line);
    }
    return names;
}

bool read_cache(const std::string& file, const std::string& key, std::vector<std::string>& names) {
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line) || line != key) return false;
    names.clear();
    while (std::getline(in, line))
        if (!line.empty()) names.push_back(line);
    return true;
}

void write_cache(const std::string& file, const std::string& key, const std::vector<std::string>& names) {
    std::string text = key + "\n";
    for (const std::string& name : names) text += name + "\n";
    replace_file_atomically(file, text, 0600);  // a cache: a failed write only costs a run next time
}

std::string module_cache_file() {
    const std::string& id = Settings().ApplicationId;
    return id.empty() ? std::string() : FoldersFor(id).cache + "php-modules";
}

}  // namespace

bool ParseExtensionList(const std::string& text, std::vector<std::string>& names, std::string& bad) {
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = text.find(',', start);
        std::string name = trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!name.empty()) {
            if (!module_name(name)) {
                bad = name;
                return false;
            }
            names.push_back(name);
        }
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

std::string DebianPackageFor(const std::string& module) {
    const std::string name = lower(module);
    for (const auto& [m, package] : kPackages)
        if (name == m) return package;
    return {};
}

ModuleList InterpreterModules(const std::string& interpreter, const std::vector<std::string>& arguments,
                              const std::string& cache_file, bool use_cache) {
    ModuleList list;
    const std::string key = cache_key(interpreter, arguments);
    if (use_cache && !cache_file.empty() && read_cache(cache_file, key, list.names)) {
        list.ran = true;
        list.cached = true;
        return list;
    }
    std::vector<std::string> argv{interpreter};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.push_back("-m");
    ProgramOutput output = RunForOutput(argv);
    if (!output.ran || output.exit_code != 0) {
        list.error = output.ran ? interpreter + " -m ended with exit code " + std::to_string(output.exit_code)
                                : output.error;
        return list;
    }
    list.ran = true;
    list.names = parse_module_list(output.out);
    if (!cache_file.empty()) write_cache(cache_file, key, list.names);
    return list;
}

std::vector<std::string> MissingExtensions(const std::vector<std::string>& required,
                                           const std::vector<std::string>& modules) {
    std::vector<std::string> have;
    for (const std::string& m : modules) have.push_back(lower(m));
    std::vector<std::string> missing, seen;
    for (const std::string& r : required) {
        std::string name = lower(r);
        if (std::find(have.begin(), have.end(), name) != have.end()) continue;
        if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
        seen.push_back(name);
        missing.push_back(r);
    }
    return missing;
}

std::vector<std::string> RequiredExtensions() {
    std::vector<std::string> required;
    if (std::optional<std::string> listed = ManifestValue(kManifestFile, "php_extensions")) {
        std::string bad;
        if (!ParseExtensionList(*listed, required, bad))
            ReportNote(std::string(kManifestFile) + ": php_extensions: \"" + bad +
                       "\" is not a PHP module name; the rest of the list is left out");
    }
    const std::vector<std::string>& scripted = Settings().PHPExtensions;
    required.insert(required.end(), scripted.begin(), scripted.end());
    return required;
}

std::string MissingExtensionLine(const std::string& name) {
    std::string package = DebianPackageFor(name);
    if (package.empty())
        return "PHP extension \"" + name + "\" is missing; no Debian package for it is known (apt search php-" +
               lower(name) + " may find one)";
    return "PHP extension \"" + name + "\" is missing: install the Debian package " + package;
}

std::vector<std::string> CheckRequiredExtensions() {
    std::vector<std::string> required = RequiredExtensions();
    if (required.empty()) return {};
    const std::string& interpreter = Settings().PHPPath;
    const std::vector<std::string> arguments = InterpreterArguments();
    ModuleList list = InterpreterModules(interpreter, arguments, module_cache_file());
    std::vector<std::string> missing = MissingExtensions(required, list.names);
    // An extension installed since the list was kept: asked again before it is called missing.
    if (!missing.empty() && list.cached) {
        list = InterpreterModules(interpreter, arguments, module_cache_file(), false);
        missing = MissingExtensions(required, list.names);
    }
    if (!list.ran)
        ReportNote("cannot list the modules of the PHP interpreter \"" + interpreter + "\" (" + list.error +
                   "): every required extension counts as missing");
    for (const std::string& name : missing) ReportNote(MissingExtensionLine(name) + " (for " + interpreter + ")");
    return missing;
}

std::string MissingExtensionsPage(const std::vector<std::string>& missing, const std::string& interpreter) {
    std::string items, packages;
    for (const std::string& name : missing) {
        std::string package = DebianPackageFor(name);
        items += "<li><b>" + html_escaped(name) + "</b>: ";
        if (package.empty()) {
            items += "no Debian package for it is known; <code>apt search php-" + html_escaped(lower(name)) +
                     "</code> may find one";
        } else {
            items += "install the Debian package <code>" + html_escaped(package) + "</code>";
            if (packages.find(" " + package) == std::string::npos) packages += " " + package;
        }
        items += "</li>\n";
    }
    std::string command =
        packages.empty() ? std::string()
                         : "<p>To install them:</p>\n<pre>sudo apt install" + html_escaped(packages) + "</pre>\n";
    return "<!DOCTYPE html>\n<html><head><meta charset='utf-8'><title>PHP extensions missing</title>\n"
           "<style>body { font-family: sans-serif; margin: 2em; background: #fff8e0; color: #222; }"
           " code, pre { background: #eee; padding: 0 4px; } pre { padding: 8px; }</style></head>\n"
           "<body><h1>This application needs PHP extensions that are not installed</h1>\n"
           "<p>The PHP interpreter <code>" +
           html_escaped(interpreter) + "</code> lacks:</p>\n<ul>\n" + items + "</ul>\n" + command +
           "<p>Then start the application again.</p></body></html>\n";
}

int l_RequirePHPExtensions(lua_State* L) {
    const int n = lua_gettop(L);
    for (int i = 1; i <= n; ++i) luaL_checklstring(L, i, nullptr);  // numbers become their text
    // No C++ object may be alive when the engine's error jumps out of here.
    char bad[80] = {};
    int at = 0;
    bool kept = false;
    try {
        std::vector<std::string> names;
        for (int i = 1; i <= n && at == 0; ++i) {
            std::string name;
            if (!ParseExtensionList(lua_tostring(L, i), names, name)) {
                at = i;
                std::snprintf(bad, sizeof bad, "%s", name.c_str());
            }
        }
        if (at == 0) {
            std::vector<std::string>& required = Settings().PHPExtensions;
            required.insert(required.end(), names.begin(), names.end());
            kept = true;
        }
    } catch (...) {
    }
    if (at > 0) return luaL_argerror(L, at, lua_pushfstring(L, "'%s' is not a PHP module name", bad));
    if (!kept) return luaL_error(L, "out of memory");
    return 0;
}

}  // namespace vantrel::shell
