#include "shell/model/site_changes.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace vantrel::shell {

namespace {

constexpr std::array<std::string_view, 4> kHookScripts = {"onInit.lua", "onBuildMainMenu.lua", "onReady.lua",
                                                          "onBuildTrayMenu.lua"};
// What authors edit; data a site writes for itself (.txt, .db, .json, .log,
// sessions, caches of other kinds) is not among them.
constexpr std::array<std::string_view, 16> kAuthoredExtensions = {
    "php", "phtml", "inc", "html", "htm", "css", "js", "mjs", "svg", "png", "jpg", "jpeg", "gif", "webp", "ico", "lua"};

// `path` below `folder` (or the folder itself): the rest after "folder/".
bool below(const std::string& path, const std::string& folder, std::string& rest) {
    if (folder.empty() || path.size() <= folder.size() + 1 || path.compare(0, folder.size(), folder) != 0 ||
        path[folder.size()] != '/')
        return false;
    rest = path.substr(folder.size() + 1);
    return true;
}

// Hidden files and folders, and what editors write beside the file they save.
bool temporary_or_hidden(const std::string& rest) {
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = rest.find('/', start);
        std::string_view part(rest.data() + start, (slash == std::string::npos ? rest.size() : slash) - start);
        if (!part.empty() && part.front() == '.') return true;
        if (slash == std::string::npos) {
            auto ends = [&](std::string_view tail) {
                return part.size() >= tail.size() && part.substr(part.size() - tail.size()) == tail;
            };
            return part.empty() || ends("~") || ends(".swp") || ends(".swx") || ends(".tmp") || part == "4913";
        }
        start = slash + 1;
    }
}

bool authored(const std::string& rest) {
    std::size_t dot = rest.rfind('.');
    if (dot == std::string::npos || rest.find('/', dot) != std::string::npos) return false;
    std::string extension = rest.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::find(kAuthoredExtensions.begin(), kAuthoredExtensions.end(), extension) != kAuthoredExtensions.end();
}

}  // namespace

SiteChange ClassifyChange(const std::string& path, const std::string& app_folder, const std::string& site_folder) {
    std::string rest;
    if (below(path, site_folder, rest))
        return !temporary_or_hidden(rest) && authored(rest) ? SiteChange::Reload : SiteChange::None;
    if (!below(path, app_folder, rest) || temporary_or_hidden(rest)) return SiteChange::None;
    if (std::find(kHookScripts.begin(), kHookScripts.end(), rest) != kHookScripts.end()) return SiteChange::HookScript;
    // Outside the site only "lua:" scripts count.
    return rest.size() > 4 && rest.compare(rest.size() - 4, 4, ".lua") == 0 ? SiteChange::Reload : SiteChange::None;
}

std::string HookScriptChangedNote(const std::string& name) {
    return name + " changed: restart the application to apply it";
}

}  // namespace vantrel::shell
