#include "shell/model/app_identity.hpp"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

namespace vantrel::shell {
namespace {

constexpr std::size_t kNameMax = 40;  // cleaned folder name, so ids stay readable

bool ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Lower-case ASCII letters and digits; every other run of bytes (blanks,
// punctuation, UTF-8 sequences) becomes one "_". An element must start with a
// letter, so "app" is put in front of a name that does not.
std::string clean_name(const std::string& name) {
    std::string out;
    for (char c : name) {
        if (ascii_letter(c) || ascii_digit(c)) {
            out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        } else if (!out.empty() && out.back() != '_') {
            out += '_';
        }
        if (out.size() >= kNameMax) break;
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    if (out.empty() || !ascii_letter(out[0])) out.insert(0, out.empty() ? "app" : "app_");
    return out;
}

// The last path element of a folder ("/" alone has none).
std::string folder_name(const std::string& folder) {
    std::string path = folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first four bytes of the path's SHA-256 as eight hex digits.
std::string short_hash(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1 || length < 4)
        std::memset(digest, 0, 4);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", digest[0], digest[1], digest[2], digest[3]);
    return hex;
}

}  // namespace

std::string DeriveApplicationId(const std::string& absolute_folder) {
    std::string path = absolute_folder;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return "vantrel." + clean_name(folder_name(path)) + ".h" + short_hash(path);
}

bool IsValidApplicationId(const std::string& id) {
    if (id.empty() || id.size() > 255) return false;
    int elements = 0;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = id.find('.', start);
        if (end == std::string::npos) end = id.size();
        if (end == start || ascii_digit(id[start])) return false;
        for (std::size_t i = start; i < end; ++i) {
            char c = id[i];
            if (!ascii_letter(c) && !ascii_digit(c) && c != '_' && c != '-') return false;
        }
        ++elements;
        if (end == id.size()) break;
        start = end + 1;
    }
    return elements >= 2;
}

ApplicationIdResult ResolveApplicationId(const char* pinned, const std::string& absolute_folder) {
    if (pinned == nullptr || *pinned == '\0') return {DeriveApplicationId(absolute_folder), {}};
    if (!IsValidApplicationId(pinned))
        return {{}, std::string(kAppIdVariable) + " is not a valid application id: \"" + pinned +
                        "\" (two or more elements separated by \".\", made of letters, digits, \"_\" and \"-\", "
                        "none starting with a digit)"};
    return {pinned, {}};
}

namespace {

// `--check [APP_FOLDER]`.
CommandLine ParseCheckArguments(int argc, const char* const* argv) {
    CommandLine line;
    line.action = CommandLine::Check;
    if (argc > 3) {
        line.action = CommandLine::Bad;
        line.error = "too many arguments";
    } else if (argc == 3 && (argv[2][0] == '-' || argv[2][0] == '\0')) {
        line.action = CommandLine::Bad;
        line.error = argv[2][0] ? std::string("unknown option ") + argv[2] : "empty folder name";
    } else if (argc == 3) {
        line.folder = argv[2];
    }
    return line;
}

// Whatever follows the application folder belongs to the application, options
// included (`my-app --help` is the application's own --help).
void TakeApplicationArguments(CommandLine& line, int argc, const char* const* argv) {
    for (int i = 2; i < argc; ++i) line.arguments.emplace_back(argv[i]);
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const* argv) {
    CommandLine line;
    if (argc <= 1) return line;
    if (std::strcmp(argv[1], "--check") == 0) return ParseCheckArguments(argc, argv);
    const char* arg = argv[1];
    if (std::strcmp(arg, "--help") == 0) {
        line.action = CommandLine::Help;
    } else if (std::strcmp(arg, "--version") == 0) {
        line.action = CommandLine::Version;
    } else if (arg[0] == '-' || arg[0] == '\0') {
        line.action = CommandLine::Bad;
        line.error = arg[0] ? std::string("unknown option ") + arg : "empty folder name";
    } else {
        line.folder = arg;
        TakeApplicationArguments(line, argc, argv);
    }
    if (line.action != CommandLine::Run && line.action != CommandLine::Bad && argc > 2) {
        line.action = CommandLine::Bad;
        line.error = "too many arguments";
    }
    return line;
}

std::string UsageText(const char* program) {
    return std::string("Usage: ") + program +
           " [--help | --version | --check [APP_FOLDER] | APP_FOLDER [ARGUMENT...]]\n"
           "Runs the web application of APP_FOLDER (default: the working folder) in a window;\n"
           "the ARGUMENTs (files, links, anything) are the application's.\n"
           "  --help       show this text and exit\n"
           "  --version    show the version and exit\n"
           "  --check      run the application's scripts without a window, start its server\n"
           "               and fetch its first page; report what was found and exit 0\n"
           "               when all is well, 1 otherwise (no display needed)\n"
           "The application's id comes from its folder; " +
           kAppIdVariable + " pins it.\n";
}

}  // namespace vantrel::shell
