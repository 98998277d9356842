// The application's manifest, vantrel-app.conf in its folder: "key = value"
// lines, "#" starting a comment line. vantrel-pack reads all of it; the desktop
// program reads the keys that matter at run time (php_extensions).
#pragma once

#include <optional>
#include <string>

namespace vantrel::shell {

inline constexpr const char* kManifestFile = "vantrel-app.conf";

// The value of `key` in the manifest file at `path` (blanks around it cut), or
// nothing when the file or the key is not there. Lines that are not
// "key = value" are passed over: vantrel-pack is the one that refuses them.
std::optional<std::string> ManifestValue(const std::string& path, const std::string& key);

}  // namespace vantrel::shell
