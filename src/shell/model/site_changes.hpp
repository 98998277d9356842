// What a changed file means for live reload in developer mode: the page shown
// is reloaded for an authored file of the site (a page, script, style sheet or
// picture) or a "lua:" script; a hook script only applies at the next start;
// anything else (data the site writes, editors' temporary files, hidden
// folders) is left alone, so a page that writes files never reloads itself.
#pragma once

#include <string>

namespace vantrel::shell {

enum class SiteChange { None, Reload, HookScript };

// `path`, `app_folder` (where the hook scripts are) and `site_folder` are
// absolute, the folders without a trailing "/".
SiteChange ClassifyChange(const std::string& path, const std::string& app_folder, const std::string& site_folder);

// The line on stderr for a changed hook script (its file name).
std::string HookScriptChangedNote(const std::string& name);

}  // namespace vantrel::shell
