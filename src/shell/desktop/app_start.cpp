#include "app_start.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "shell/model/Globals.hpp"
#include "shell/model/app_check.hpp"
#include "shell/model/app_data.hpp"
#include "shell/model/developer.hpp"
#include "shell/model/app_identity.hpp"
#include "shell/model/cookie_store.hpp"
#include "shell/model/native_events.hpp"
#include "web_context.hpp"

namespace vantrel::desktop {

namespace shell = vantrel::shell;

namespace {

// Read before the program enters the application folder: a relative file
// name means a file of the folder the user was in.
std::vector<std::string> ApplicationArguments(const shell::CommandLine& line) {
    char cwd[PATH_MAX];
    if (line.arguments.empty() || !getcwd(cwd, sizeof cwd)) return line.arguments;
    return shell::ResolveArguments(line.arguments, cwd);
}

}  // namespace

StartDecision ReadCommandLine(int argc, char** argv) {
    const char* program = argc > 0 ? argv[0] : "vantrel";
    shell::CommandLine line = shell::ParseCommandLine(argc, argv);
    switch (line.action) {
        case shell::CommandLine::Help:
            std::fputs(shell::UsageText(program).c_str(), stdout);
            return {0, {}};
        case shell::CommandLine::Version:
            std::printf("vantrel %s\n", VANTREL_VERSION);
            return {0, {}};
        case shell::CommandLine::Bad:
            std::fprintf(stderr, "vantrel: %s\n%s", line.error.c_str(), shell::UsageText(program).c_str());
            return {1, {}};
        case shell::CommandLine::Run:
        case shell::CommandLine::Check:
            break;
    }
    std::vector<std::string> arguments = ApplicationArguments(line);
    if (!line.folder.empty() && chdir(line.folder.c_str()) != 0) {
        std::fprintf(stderr, "vantrel: cannot open the application folder %s: %s\n", line.folder.c_str(),
                     std::strerror(errno));
        return {1, {}};
    }
    char folder[PATH_MAX];
    if (!getcwd(folder, sizeof folder)) {
        std::fprintf(stderr, "vantrel: cannot read the working folder: %s\n", std::strerror(errno));
        return {1, {}};
    }
    shell::ApplicationIdResult id = shell::ResolveApplicationId(std::getenv(shell::kAppIdVariable), folder);
    if (!id.error.empty()) {
        std::fprintf(stderr, "vantrel: %s\n", id.error.c_str());
        return {1, {}};
    }
    if (line.action == shell::CommandLine::Check) return {shell::RunApplicationCheck(id.id, stdout), {}};
    return {std::nullopt, id.id, std::move(arguments)};
}

bool PrepareApplication(const std::string& id) {
    shell::ApplicationFolders folders = shell::FoldersFor(id);
    std::string error;
    std::vector<std::string> notes;
    bool prepared = shell::PrepareApplicationFolders(folders, shell::kSeedFolder, error, &notes);
    for (const std::string& note : notes) shell::ReportNote(note);
    if (!prepared) {
        std::fprintf(stderr, "vantrel: %s\n", error.c_str());
        return false;
    }
    shell::Settings().ApplicationId = id;
    shell::Settings().DataPath = folders.writable;
    std::string moved = shell::MoveAsideUnreadableCookieStore(folders.cookies(), std::time(nullptr), error);
    if (!moved.empty())
        std::fprintf(stderr, "vantrel: the cookie store %s cannot be read; it was moved to %s and a new one is used\n",
                     folders.cookies().c_str(), moved.c_str());
    else if (!error.empty())
        std::fprintf(stderr, "vantrel: the cookie store cannot be read: %s\n", error.c_str());
    ConfigureWebContext(folders);
    return true;
}

}  // namespace vantrel::desktop
