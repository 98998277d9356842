// `vantrel --check [APP_FOLDER]`: the application run without a window or a
// display, for its author and their CI. The hook scripts run as at a real
// start; the report names every script error, the site folder, the PHP
// interpreter and the extensions the application requires; the server starts
// on a free loopback port and the page onReady.lua opens is fetched from it.
#pragma once

#include <cstdio>
#include <string>

namespace vantrel::shell {

// Runs the check of the application in the working folder, whose id is `id`,
// writing the report to `out`. Its data and cache folders are temporary ones
// (seeded as at a first start, removed at the end), so the check changes
// nothing of the user's. Returns 0 when all is well, 1 otherwise.
int RunApplicationCheck(const std::string& id, std::FILE* out);

// The parts of an address the browser would load: for http addresses on this
// machine (127.x.x.x, localhost, [::1]) the path and query to fetch from the
// application's own server; false for any other address.
bool OwnServerPath(const std::string& url, std::string& path);

}  // namespace vantrel::shell
