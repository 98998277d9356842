#include "shell/model/cookie_store.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantrel::shell {
namespace {

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

bool CookieStoreReadable(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISREG(st.st_mode)) return false;
    if (st.st_size == 0) return true;  // SQLite makes an empty file a new database
    // Opened for writing when it may be, so that a journal left by a crash is
    // rolled back as the engine would, instead of making the store look damaged.
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    if (!ok) {
        sqlite3_close(db);
        db = nullptr;
        ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK;
    }
    sqlite3_stmt* check = nullptr;
    ok = ok && sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &check, nullptr) == SQLITE_OK;
    ok = ok && sqlite3_step(check) == SQLITE_ROW;
    if (ok) {
        const unsigned char* answer = sqlite3_column_text(check, 0);
        ok = answer && std::strcmp(reinterpret_cast<const char*>(answer), "ok") == 0;
    }
    sqlite3_finalize(check);
    sqlite3_close(db);
    return ok;
}

std::string MoveAsideUnreadableCookieStore(const std::string& path, std::time_t now, std::string& error) {
    error.clear();
    if (CookieStoreReadable(path)) return "";
    std::tm local{};
    localtime_r(&now, &local);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    std::string target = path + ".broken-" + date;
    for (int n = 2; exists(target) && n < 1000; ++n) target = path + ".broken-" + date + "." + std::to_string(n);
    if (std::rename(path.c_str(), target.c_str()) != 0) {
        error = "cannot move " + path + " to " + target + ": " + std::strerror(errno);
        return "";
    }
    // Journal files would be replayed into the new store.
    for (const char* journal : {"-journal", "-wal", "-shm"})
        if (exists(path + journal)) std::rename((path + journal).c_str(), (target + journal).c_str());
    return target;
}

}  // namespace vantrel::shell
