// The script host: the process's one Lua 5.1 state and the running of script
// files in it.
#pragma once

#include <string>

struct lua_State;

namespace vantrel::shell {

// Creates the state with the base, table, string and math libraries.
// Throws std::runtime_error("Error Initializing lua\n") when no state can be made.
void InitLua();
// Loads and runs one script file (a relative path is relative to the current
// working directory). A failure skips the rest of the script and is reported
// with file and line (ReportScriptError); a missing file is passed over
// silently. The engine's stack is left as it was.
void RunScript(const std::string& path);
// Closes the state; everything scripts created goes with it.
void CloseLua();
// The current state, or nullptr before InitLua / after CloseLua.
lua_State* LuaState();

}  // namespace vantrel::shell
