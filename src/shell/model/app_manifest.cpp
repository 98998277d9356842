#include "shell/model/app_manifest.hpp"

#include <fstream>

namespace vantrel::shell {
namespace {

std::string trimmed(const std::string& s) {
    const char* blanks = " \t\r";
    std::size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

}  // namespace

std::optional<std::string> ManifestValue(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::optional<std::string> value;
    std::string line;
    while (std::getline(in, line)) {
        std::string text = trimmed(line);
        if (text.empty() || text[0] == '#') continue;
        std::size_t equals = text.find('=');
        if (equals == std::string::npos || trimmed(text.substr(0, equals)) != key) continue;
        value = trimmed(text.substr(equals + 1));  // the last line wins, as in vantrel-pack
    }
    return value;
}

}  // namespace vantrel::shell
