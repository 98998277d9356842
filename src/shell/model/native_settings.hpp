// The native interface's process-wide settings: the capabilities the
// application allows (AllowNative), the arguments it was started with, and the
// tray's icon and close behaviour. Scripts change them; the interface reads
// the capabilities once, when the server starts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel::shell {

// One bit per capability.
enum Capability : unsigned {
    kNotify = 1u << 0,
    kClipboard = 1u << 1,
    kWindow = 1u << 2,
    kDialog = 1u << 3,
    kShell = 1u << 4,
    kTray = 1u << 5,
    kAutostart = 1u << 6,
};

// The capability a name stands for ("notify", "clipboard", "window", "dialog",
// "shell", "tray", "autostart"); nullopt for any other name.
std::optional<Capability> CapabilityNamed(std::string_view name);
const char* CapabilityName(Capability capability);
// The names of the capabilities in `set`, in the order above.
std::vector<std::string> CapabilityNames(unsigned set);
// "notify, clipboard, ..." for messages.
const char* KnownCapabilities();

struct NativeSettings {
    unsigned allowed = 0;                // AllowNative
    std::vector<std::string> arguments;  // after the application folder
    std::string tray_icon;               // SetTrayIcon: an absolute path ("" for the application's icon)
    bool close_to_tray = false;          // SetCloseToTray
    bool tray_wanted = false;            // a script asked for the tray icon
};

NativeSettings& Native();

}  // namespace vantrel::shell
