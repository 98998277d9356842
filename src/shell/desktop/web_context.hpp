// The browser engine's context of the application: website data, cache and
// cookies kept per application, and the private server's token cookie.
#pragma once

#include <webkit2/webkit2.h>

#include "shell/model/app_data.hpp"

namespace vantrel::desktop {

// Makes the application's context: website data under folders.data, the cache
// under folders.cache, cookies in the SQLite file folders.cookies() (persistent
// cookies last, session cookies do not), third-party cookies refused.
void ConfigureWebContext(const vantrel::shell::ApplicationFolders& folders);

// The context every view of the application uses: the configured one, or the
// engine's default when none was configured.
WebKitWebContext* ApplicationWebContext();

// Ends the configured context (at the end of the program).
void ReleaseWebContext();

// Puts the running server's token into the cookie store as
// an HttpOnly, SameSite=Strict session cookie for 127.0.0.1 and localhost and
// returns once the store holds it (at most a few seconds). False when it failed.
bool InstallServerTokenCookie();

}  // namespace vantrel::desktop
