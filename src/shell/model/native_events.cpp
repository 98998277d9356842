#include "shell/model/native_events.hpp"

#include <sys/stat.h>

#include <filesystem>

#include "shell/model/native_json.hpp"

namespace vantrel::shell {

std::string NotificationEvent(const std::string& id) {
    return JsonOut().Field("type", "notification").Field("id", id).Text();
}

std::string CommandEvent(const std::string& name) {
    return JsonOut().Field("type", "command").Field("name", name).Text();
}

std::string OpenEvent(const std::vector<std::string>& arguments) {
    return JsonOut().Field("type", "open").Field("arguments", arguments).Text();
}

std::string PageEventScript(const std::string& detail) {
    // JSON is a JavaScript literal, so the detail goes in as it is.
    return "window.dispatchEvent(new CustomEvent('vantrel', {detail: " + detail + "}));";
}

std::vector<std::string> ResolveArguments(const std::vector<std::string>& arguments, const std::string& cwd) {
    std::vector<std::string> resolved;
    for (const std::string& arg : arguments) {
        std::string out = arg;
        if (!arg.empty() && arg[0] != '-' && arg[0] != '/' && arg.find("://") == std::string::npos) {
            std::string candidate = cwd + "/" + arg;
            struct stat st;
            if (stat(candidate.c_str(), &st) == 0) out = std::filesystem::path(candidate).lexically_normal().string();
        }
        resolved.push_back(std::move(out));
    }
    return resolved;
}

}  // namespace vantrel::shell
