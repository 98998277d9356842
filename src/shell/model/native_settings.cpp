#include "shell/model/native_settings.hpp"

#include <string>

namespace vantrel::shell {
namespace {

struct Named {
    const char* name;
    Capability capability;
};

constexpr Named kCapabilities[] = {
    {"notify", kNotify}, {"clipboard", kClipboard}, {"window", kWindow},       {"dialog", kDialog},
    {"shell", kShell},   {"tray", kTray},           {"autostart", kAutostart},
};

}  // namespace

std::optional<Capability> CapabilityNamed(std::string_view name) {
    for (const Named& c : kCapabilities)
        if (name == c.name) return c.capability;
    return std::nullopt;
}

const char* CapabilityName(Capability capability) {
    for (const Named& c : kCapabilities)
        if (c.capability == capability) return c.name;
    return "";
}

std::vector<std::string> CapabilityNames(unsigned set) {
    std::vector<std::string> names;
    for (const Named& c : kCapabilities)
        if (set & c.capability) names.emplace_back(c.name);
    return names;
}

const char* KnownCapabilities() {
    static const std::string list = [] {
        std::string names;
        for (const Named& c : kCapabilities) names += (names.empty() ? "" : ", ") + std::string(c.name);
        return names;
    }();
    return list.c_str();
}

NativeSettings& Native() {
    static NativeSettings settings;
    return settings;
}

}  // namespace vantrel::shell
