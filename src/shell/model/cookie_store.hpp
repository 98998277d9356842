// The browser engine keeps an application's cookies in one SQLite file. A
// file it cannot read would be used silently, and every persistent cookie lost
// from then on: such a file is moved aside before the engine opens it.
#pragma once

#include <ctime>
#include <string>

namespace vantrel::shell {

// True when `path` is missing, empty, or an SQLite database that passes a
// quick check; false for anything else (a damaged or foreign file).
bool CookieStoreReadable(const std::string& path);

// When the store at `path` cannot be read: renames it (and its journal files)
// to "<path>.broken-<YYYY-MM-DD>" of the local date `now` (".2", ".3", ... when
// that name is taken), so a new store is made, and returns the new name.
// "" when the store is fine or could not be moved (`error` then says why).
std::string MoveAsideUnreadableCookieStore(const std::string& path, std::time_t now, std::string& error);

}  // namespace vantrel::shell
