// The main window's remembered place: position, size and maximised state, kept
// in a small "key=value" text file per application, in the window manager's
// units (device pixels), so a run at another scale restores the same rectangle.
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

// The toolkit counts in pixels of `scale` device pixels each.
WindowGeometry ToToolkitUnits(const WindowGeometry& device, int scale);
// Back to device pixels; a field the run left as it was restored keeps its
// remembered value, so a size that does not divide by the scale survives.
WindowGeometry ToDeviceUnits(const WindowGeometry& toolkit, int scale, const WindowGeometry& remembered);

// The file's geometry, or nothing when it is missing or unreadable.
std::optional<WindowGeometry> LoadWindowGeometry(const std::string& path);
// Writes through a temporary file, so a crash never leaves half a file.
bool SaveWindowGeometry(const std::string& path, const WindowGeometry& geometry);

}  // namespace vantrel::shell
