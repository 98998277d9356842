// PHP extensions an application needs: named in its manifest (php_extensions)
// and by RequirePHPExtensions in its scripts, checked at start against what the
// interpreter loads (`php-cgi -m`), and, when one is missing, a page and a note
// that name it with the Debian package that brings it.
#pragma once

#include <string>
#include <vector>

struct lua_State;

namespace vantrel::shell {

// Module names from a comma-separated list ("pdo_sqlite, gd, intl"), blanks
// around each cut, empty entries skipped. False, with the offending name in
// `bad`, when one cannot be a module name (letters, digits, "_", and blanks
// inside, as in "Zend OPcache").
bool ParseExtensionList(const std::string& text, std::vector<std::string>& names, std::string& bad);

// The Debian package that brings module `name` ("php-sqlite3" for pdo_sqlite);
// "php-cgi" for the modules php-cgi itself loads; "" when none is known.
// Names are compared without regard to case.
std::string DebianPackageFor(const std::string& module);

// What `php-cgi -m` lists (the "[PHP Modules]" and "[Zend Modules]" names).
struct ModuleList {
    bool ran = false;     // the interpreter ran and answered
    bool cached = false;  // the names were kept from an earlier run
    std::vector<std::string> names;
    std::string error;  // why it did not
};

// The interpreter's modules; `arguments` go before -m (the application's
// "-c php.ini"). With a `cache_file` and `use_cache`, a list read before is
// used again while the interpreter file and that php.ini are unchanged; a list
// that is read is kept there.
ModuleList InterpreterModules(const std::string& interpreter, const std::vector<std::string>& arguments,
                              const std::string& cache_file, bool use_cache = true);

// The names of `required` that `modules` lacks (compared without regard to
// case), each once, in the order required.
std::vector<std::string> MissingExtensions(const std::vector<std::string>& required,
                                           const std::vector<std::string>& modules);

// Every extension the running application requires: the manifest's
// php_extensions (in the working folder) followed by RequirePHPExtensions'.
// A bad manifest entry is noted on stderr and left out.
std::vector<std::string> RequiredExtensions();

// The required extensions that the interpreter in the settings lacks (all of
// them when it cannot run), each noted on stderr with its package. Nothing is
// run when nothing is required.
std::vector<std::string> CheckRequiredExtensions();

// One line per missing extension: `name` and the package to install.
std::string MissingExtensionLine(const std::string& name);

// The page the window shows instead of the application when extensions are
// missing: each one with its Debian package, and the apt command for all.
std::string MissingExtensionsPage(const std::vector<std::string>& missing, const std::string& interpreter);

// RequirePHPExtensions(name, ...): each argument a module name or a
// comma-separated list of them; argument error for anything else.
int l_RequirePHPExtensions(lua_State* L);

}  // namespace vantrel::shell
