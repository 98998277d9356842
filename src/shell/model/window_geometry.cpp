#include "shell/model/window_geometry.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace vantrel::shell {
namespace {

constexpr int kSizeMax = 100000;
constexpr int kPositionMax = 1000000;

bool read_int(const std::string& text, int low, int high, int& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < low || v > high) return false;
    out = static_cast<int>(v);
    return true;
}

// Rounds to the nearest toolkit pixel, halves away from zero.
int divide(int device, int scale) { return device >= 0 ? (device + scale / 2) / scale : -((-device + scale / 2) / scale); }

}  // namespace

WindowGeometry ToToolkitUnits(const WindowGeometry& device, int scale) {
    if (scale <= 1) return device;
    return {divide(device.x, scale), divide(device.y, scale), std::max(1, divide(device.width, scale)),
            std::max(1, divide(device.height, scale)), device.maximized};
}

WindowGeometry ToDeviceUnits(const WindowGeometry& toolkit, int scale, const WindowGeometry& remembered) {
    if (scale < 1) scale = 1;
    WindowGeometry restored = ToToolkitUnits(remembered, scale);
    auto field = [&](int now, int as_restored, int as_remembered) {
        return now == as_restored ? as_remembered : now * scale;
    };
    return {field(toolkit.x, restored.x, remembered.x), field(toolkit.y, restored.y, remembered.y),
            field(toolkit.width, restored.width, remembered.width),
            field(toolkit.height, restored.height, remembered.height), toolkit.maximized};
}

std::string FormatWindowGeometry(const WindowGeometry& g) {
    return "x=" + std::to_string(g.x) + "\ny=" + std::to_string(g.y) + "\nwidth=" + std::to_string(g.width) +
           "\nheight=" + std::to_string(g.height) + "\nmaximized=" + (g.maximized ? "1" : "0") + "\n";
}

std::optional<WindowGeometry> ParseWindowGeometry(const std::string& text) {
    WindowGeometry g;
    unsigned seen = 0;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        int maximized = 0;
        bool ok = true;
        if (key == "x") ok = read_int(value, -kPositionMax, kPositionMax, g.x), seen |= 1;
        else if (key == "y") ok = read_int(value, -kPositionMax, kPositionMax, g.y), seen |= 2;
        else if (key == "width") ok = read_int(value, 1, kSizeMax, g.width), seen |= 4;
        else if (key == "height") ok = read_int(value, 1, kSizeMax, g.height), seen |= 8;
        else if (key == "maximized") ok = read_int(value, 0, 1, maximized), g.maximized = maximized == 1, seen |= 16;
        if (!ok) return std::nullopt;
    }
    if (seen != 31) return std::nullopt;
    return g;
}

std::optional<WindowGeometry> LoadWindowGeometry(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    return ParseWindowGeometry(text.str());
}

bool SaveWindowGeometry(const std::string& path, const WindowGeometry& geometry) {
    std::string temp = path + ".new";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << FormatWindowGeometry(geometry);
        if (!out.flush()) return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace vantrel::shell
