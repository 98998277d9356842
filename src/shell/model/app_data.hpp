// Where an application keeps what lasts: the browser's website data and
// cookies, the window's state, and the private writable folder its pages and
// scripts use.
#pragma once

#include <string>
#include <vector>

namespace vantrel::shell {

struct ApplicationFolders {
    std::string data;      // $XDG_DATA_HOME/vantrel/<id>/ (website data, cookies, window state)
    std::string cache;     // $XDG_CACHE_HOME/vantrel/<id>/
    std::string writable;  // <data>data, without a trailing "/": the application's own files

    std::string cookies() const { return data + "cookies.sqlite"; }
    std::string window_state() const { return data + "window-state"; }
    std::string seed_marker() const { return data + "seeded"; }  // written by earlier versions
    std::string seed_record() const { return data + "seed-copied"; }
    std::string port_file() const { return data + "port"; }
};

// The folders of application `id`. XDG_DATA_HOME and XDG_CACHE_HOME are used
// when they hold absolute paths; otherwise ~/.local/share and ~/.cache.
ApplicationFolders FoldersFor(const std::string& id);

// The folder (inside the application folder) whose contents are copied into
// the writable folder on the first start.
inline constexpr const char* kSeedFolder = "data.seed";

// Makes the three folders (mode 0700; an existing writable folder is set to
// 0700 too), then copies into the writable folder each file of `seed` that was
// never copied before (seed_record() lists them): what a newer version of the
// application adds arrives, a file already there is never overwritten, and one
// the user removed is not brought back. Copies are writable by the user. Links
// in the seed that stay inside it are copied as what they point to; any other
// is left out with a line in `notes`, and nothing is ever written through a
// link in the data folder. A missing `seed` folder is no error. False with
// `error` set when a folder cannot be made or a copy fails.
bool PrepareApplicationFolders(const ApplicationFolders& folders, const std::string& seed, std::string& error,
                               std::vector<std::string>* notes = nullptr);

}  // namespace vantrel::shell
