// The main window's remembered place: position, size and maximised state, kept
// in a small "key=value" text file per application.
#pragma once

#include <optional>
#include <string>

namespace vantrel::shell {

struct WindowGeometry {
    int x = 242;
    int y = 183;
    int width = 696;
    int height = 480;
    bool maximized = true;

    bool operator==(const WindowGeometry&) const = default;
};

std::string FormatWindowGeometry(const WindowGeometry& geometry);
// Nothing when the text lacks a field or holds a size that no window can have.
std::optional<WindowGeometry> ParseWindowGeometry(const std::string& text);

// The file's geometry, or nothing when it is missing or unreadable.
std::optional<WindowGeometry> LoadWindowGeometry(const std::string& path);
// Writes through a temporary file, so a crash never leaves half a file.
bool SaveWindowGeometry(const std::string& path, const WindowGeometry& geometry);

}  // namespace vantrel::shell
