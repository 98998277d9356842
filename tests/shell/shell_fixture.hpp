// Shared by the shell tests: a window that records what the logic asks of it,
// and a fixture with a fresh script state, an empty menu model and the start
// settings, running scripts written into a temporary folder.
#pragma once

#include <unistd.h>

#include <lua.hpp>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shell/model/Fmain.hpp"
#include "shell/model/Globals.hpp"
#include "shell/model/Lua.hpp"
#include "shell/model/native_port.hpp"
#include "shell/model/native_settings.hpp"
#include "shell/model/window_port.hpp"
#include "testkit.hpp"

namespace shelltest {

using namespace vantrel::shell;

class FakeWindow : public WindowPort {
public:
    void set_caption(const std::string& text) override {
        if (throw_on_caption) throw std::runtime_error("caption refused");
        calls.push_back("caption");
        caption = text;
    }
    void set_application_title(const std::string& text) override {
        calls.push_back("application_title");
        application_title = text;
    }
    void navigate(const std::string& url) override {
        calls.push_back("navigate");
        navigations.push_back(url);
    }
    void refresh() override {
        calls.push_back("refresh");
        ++refreshes;
    }
    void print() override {
        calls.push_back("print");
        ++prints;
    }
    void find() override { calls.push_back("find"); }
    void close() override {
        calls.push_back("close");
        ++closes;
    }
    void show_error(const std::string& text) override {
        calls.push_back("error");
        errors.push_back(text);
    }
    void show_fatal(const std::string& text) override {
        calls.push_back("fatal");
        fatals.push_back(text);
    }
    void set_menu_bar(const std::vector<TopMenuModel>& menus) override {
        calls.push_back("menu_bar");
        menu_bars.push_back(menus);
    }
    void send_page_event(const std::string& detail) override {
        calls.push_back("page_event");
        page_events.push_back(detail);
    }

    bool throw_on_caption = false;
    std::vector<std::string> calls;  // every call in order, by kind
    std::string caption;
    std::string application_title;
    std::vector<std::string> navigations;
    std::vector<std::string> errors;
    std::vector<std::string> fatals;
    int refreshes = 0;
    int prints = 0;
    int closes = 0;
    std::vector<std::vector<TopMenuModel>> menu_bars;
    std::vector<std::string> page_events;
};

// Changes the working directory for the life of the object.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir) {
        char buf[PATH_MAX];
        if (getcwd(buf, sizeof buf) != nullptr) old_ = buf;
        if (chdir(dir.c_str()) != 0) ADD_FAILURE() << "cannot enter " << dir;
    }
    ~ScopedCwd() {
        if (!old_.empty() && chdir(old_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << old_;
    }
    ScopedCwd(const ScopedCwd&) = delete;
    ScopedCwd& operator=(const ScopedCwd&) = delete;

private:
    std::string old_;
};

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        Settings() = ShellSettings{};
        Native() = NativeSettings{};
        ResetMenuModel();
        InitLua();
        RegisterScriptApi(LuaState());
        SetMainWindow(&window);
    }

    void TearDown() override {
        SetMainWindow(nullptr);
        SetNativePort(nullptr);
        CloseLua();
        ResetMenuModel();
        Settings() = ShellSettings{};
        Native() = NativeSettings{};
    }

    // Writes `code` as the script `name` in the temporary folder and runs it
    // there by its full path; returns the path.
    std::string run(const std::string& code, const std::string& name = "script.lua") {
        std::string path = dir / name;
        testkit::write_file(path, code);
        RunScript(path);
        return path;
    }

    // A global of the script state as text ("nil" when it is nil).
    std::string global(const char* name) {
        lua_State* L = LuaState();
        lua_getfield(L, LUA_GLOBALSINDEX, name);
        std::string value = lua_isnil(L, -1) ? "nil" : lua_isboolean(L, -1) ? (lua_toboolean(L, -1) ? "true" : "false")
                            : lua_isstring(L, -1)                      ? lua_tostring(L, -1)
                                                                       : lua_typename(L, lua_type(L, -1));
        lua_pop(L, 1);
        return value;
    }

    // Runs `call` followed by a marker assignment; true when the script got past
    // the call (no error was raised).
    bool completes(const std::string& call) {
        run("reached = nil\n" + call + "\nreached = true\n");
        return global("reached") == "true";
    }

    // The error text a script caught with pcall in global `message`, without the
    // "file:line: " the engine puts in front.
    std::string caught_message() {
        std::string m = global("message");
        std::string where = dir / "script.lua:";
        if (m.compare(0, where.size(), where) != 0) return "no location: " + m;
        std::size_t colon = m.find(": ", where.size());
        return colon == std::string::npos ? m : m.substr(colon + 2);
    }

    testkit::TempDir dir;
    FakeWindow window;
};

}  // namespace shelltest
