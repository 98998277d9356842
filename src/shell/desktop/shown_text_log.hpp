// Test hook: with VANTREL_STATUS_LOG set, every text the status bar shows,
// the find bar's counts and the context menus' items are appended to that
// file, one line each.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vantrel::desktop {

inline void LogShownText(const std::string& text) {
    const char* log = std::getenv("VANTREL_STATUS_LOG");
    if (!log) return;
    if (std::FILE* f = std::fopen(log, "a")) {
        std::fprintf(f, "%s\n", text.c_str());
        std::fclose(f);
    }
}

}  // namespace vantrel::desktop
