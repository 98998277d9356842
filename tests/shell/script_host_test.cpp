// The script host: one state shared by every script, silent failures, and a
// stack that stays clean however scripts fail.
#include "shell_fixture.hpp"

namespace shelltest {
namespace {

using ScriptHost = ShellTest;

TEST_F(ScriptHost, OpensOnlyBaseTableStringAndMath) {
    run("libs = table.concat({type(print), type(pcall), type(coroutine), type(table.insert),"
        " type(string.format), type(math.floor)}, ',')\n"
        "hidden = table.concat({type(io), type(os), type(package), type(debug), type(require)}, ',')\n");
    EXPECT_EQ(global("libs"), "function,function,table,function,function,function");
    EXPECT_EQ(global("hidden"), "nil,nil,nil,nil,nil");
}

TEST_F(ScriptHost, RegistersTheScriptFunctionsAsGlobals) {
    const char* names[] = {"SetTitle",   "SetTaskbarTitle", "SetBaseURL", "SetWebserverPort",
                           "SetInitialHTML", "SetPHPPath", "NavigateTo", "NewMenu",
                           "AddMenuItem", "AddMenu",        "SetSitesPath", "SetPHPWorkers"};
    lua_State* L = LuaState();
    for (const char* name : names) {
        lua_getfield(L, LUA_GLOBALSINDEX, name);
        EXPECT_TRUE(lua_iscfunction(L, -1)) << name;
        lua_pop(L, 1);
    }
    EXPECT_EQ(lua_gettop(L), 0);
}

TEST_F(ScriptHost, MissingOrEmptyPathRunsNothingAndSaysNothing) {
    RunScript(dir / "absent.lua");
    RunScript("");
    RunScript(dir.path());  // a folder cannot be read as a script
    EXPECT_TRUE(window.calls.empty());
    EXPECT_EQ(lua_gettop(LuaState()), 0);
}

TEST_F(ScriptHost, SyntaxErrorRunsNoStatementAtAll) {
    run("SetTitle('before the error')\nmarker = 1\nlocal x = = 2\n");
    EXPECT_TRUE(window.calls.empty());
    EXPECT_EQ(global("marker"), "nil");
}

TEST_F(ScriptHost, RuntimeErrorKeepsWhatRanBeforeIt) {
    run("SetTitle('kept')\nSetPHPPath('php-kept')\nerror('boom')\nSetTitle('never')\n");
    EXPECT_EQ(window.caption, "kept");
    EXPECT_EQ(window.calls, std::vector<std::string>{"caption"});
    EXPECT_EQ(Settings().PHPPath, "php-kept");
}

// Each failure is one stderr line with the file and line the engine reports;
// a missing file says nothing. In developer mode the same text is the window's
// "Error" dialog.
TEST_F(ScriptHost, FailuresAreReportedWithFileAndLine) {
    struct Case {
        const char* name;
        std::string code, line;  // line: "" when nothing is reported
    } cases[] = {
        {"syntax", "x = 1\nlocal y = = 2\n", ":2: unexpected symbol near '='"},
        {"runtime", "x = 1\n\nSetSitePath('site')\n", ":3: attempt to call global 'SetSitePath' (a nil value)"},
        {"argument", "SetTitle('a')\nSetTitle()\n", ":2: bad argument #1 to 'SetTitle' (string expected, got no value)"},
        {"error call", "error('boom')\n", ":1: boom"},
        {"table error", "error({})\n", "(error object is not a string)"},
    };
    for (bool developer : {false, true}) {
        if (developer) setenv("VANTREL_DEVELOPER", "1", 1);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            window.errors.clear();
            std::string path = dir / (std::string(c.name) + ".lua");
            testkit::write_file(path, c.code);
            ::testing::internal::CaptureStderr();
            RunScript(path);
            std::string err = ::testing::internal::GetCapturedStderr();
            std::string expected = (c.line[0] == ':' ? path : "") + c.line + "\n";
            EXPECT_EQ(err, expected);
            EXPECT_EQ(window.errors, developer ? std::vector<std::string>{expected.substr(0, expected.size() - 1)}
                                               : std::vector<std::string>{});
        }
        ::testing::internal::CaptureStderr();
        RunScript(dir / "absent.lua");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    }
    unsetenv("VANTREL_DEVELOPER");
    EXPECT_EQ(lua_gettop(LuaState()), 0);
}

TEST_F(ScriptHost, GlobalsOfOneScriptAreSeenByTheNext) {
    run("greeting = 'set in init'\nfunction greet(suffix) SetTitle(greeting .. suffix) end\n", "onInit.lua");
    run("greet('!')\n", "onReady.lua");
    EXPECT_EQ(window.caption, "set in init!");
}

TEST_F(ScriptHost, NextScriptRunsNormallyAfterAFailedOne) {
    run("error({ 'a table as error value' })\n", "bad.lua");
    run("SetTitle('after')\n", "good.lua");
    EXPECT_EQ(window.caption, "after");
}

TEST_F(ScriptHost, AThousandFailingRunsLeaveTheStackAsItWas) {
    lua_State* L = LuaState();
    lua_pushstring(L, "caller's value");  // something the host must not disturb
    const int top = lua_gettop(L);
    std::string syntax = dir / "syntax.lua", runtime = dir / "runtime.lua", argument = dir / "argument.lua",
                table_error = dir / "table.lua", missing = dir / "missing.lua";
    testkit::write_file(syntax, "x = = 1\n");
    testkit::write_file(runtime, "count = (count or 0) + 1\nlocal t = nil\nt.field = 1\n");
    testkit::write_file(argument, "SetTitle()\n");
    testkit::write_file(table_error, "error(setmetatable({}, {}))\n");
    const std::string paths[] = {syntax, runtime, argument, table_error, missing, ""};
    for (int i = 0; i < 1000; ++i) RunScript(paths[i % 6]);
    EXPECT_EQ(lua_gettop(L), top);
    EXPECT_STREQ(lua_tostring(L, -1), "caller's value");
    EXPECT_EQ(global("count"), "167");  // the runtime-error script ran every sixth time
    run("SetTitle('still working')\n");
    EXPECT_EQ(window.caption, "still working");
}

TEST_F(ScriptHost, RelativePathsAreRelativeToTheWorkingDirectory) {
    testkit::write_file(dir / "sub/relative.lua", "SetTitle('relative')\n");
    ScopedCwd cwd(dir / "sub");
    RunScript("relative.lua");
    EXPECT_EQ(window.caption, "relative");
}

TEST_F(ScriptHost, NoStateMeansNothingRuns) {
    CloseLua();
    EXPECT_EQ(LuaState(), nullptr);
    testkit::write_file(dir / "s.lua", "SetTitle('no state')\n");
    RunScript(dir / "s.lua");
    EXPECT_TRUE(window.calls.empty());
    CloseLua();  // closing twice is harmless
}

TEST_F(ScriptHost, InitLuaGivesAFreshState) {
    run("leftover = 1\n");
    InitLua();
    RegisterScriptApi(LuaState());
    EXPECT_EQ(global("leftover"), "nil");
    run("SetTitle('fresh')\n");
    EXPECT_EQ(window.caption, "fresh");
}

}  // namespace
}  // namespace shelltest
