// The eleven script functions as scripts see them: argument rules, checks
// before effects, silent refusals.
#include "shell_fixture.hpp"

namespace shelltest {
namespace {

using ScriptApi = ShellTest;

// Every function taking one text, with what it changes.
struct TextFunction {
    const char* name;
    std::string (*read)(const FakeWindow&);
};
const TextFunction kTextFunctions[] = {
    {"SetTitle", [](const FakeWindow& w) { return w.caption; }},
    {"SetTaskbarTitle", [](const FakeWindow&) { return ApplicationTitle(); }},
    {"SetInitialHTML", [](const FakeWindow&) { return Settings().InitialHTML; }},
    {"SetPHPPath", [](const FakeWindow&) { return Settings().PHPPath; }},
    {"SetSitesPath", [](const FakeWindow&) { return Settings().SitesPath; }},
    {"NavigateTo",
     [](const FakeWindow& w) { return w.navigations.empty() ? std::string() : w.navigations.back(); }},
};

TEST_F(ScriptApi, TextArgumentsTakeStringsAndNumbers) {
    for (const TextFunction& f : kTextFunctions) {
        SCOPED_TRACE(f.name);
        EXPECT_TRUE(completes(std::string(f.name) + "('some text')"));
        EXPECT_EQ(f.read(window), "some text");
        EXPECT_TRUE(completes(std::string(f.name) + "(42)"));
        EXPECT_EQ(f.read(window), "42");
        EXPECT_TRUE(completes(std::string(f.name) + "(2.5)"));
        EXPECT_EQ(f.read(window), "2.5");
    }
}

TEST_F(ScriptApi, OtherArgumentTypesStopTheScriptAndChangeNothing) {
    const char* bad_arguments[] = {"", "nil", "{}", "true", "false", "print", "coroutine.create(print)"};
    for (const TextFunction& f : kTextFunctions) {
        ASSERT_TRUE(completes(std::string(f.name) + "('before')"));
        const std::size_t calls = window.calls.size();
        for (const char* arg : bad_arguments) {
            SCOPED_TRACE(std::string(f.name) + "(" + arg + ")");
            EXPECT_FALSE(completes(std::string(f.name) + "(" + arg + ")"));
            EXPECT_EQ(f.read(window), "before");
            EXPECT_EQ(window.calls.size(), calls);
        }
    }
    EXPECT_EQ(lua_gettop(LuaState()), 0);
}

TEST_F(ScriptApi, ExtraArgumentsAreIgnored) {
    EXPECT_TRUE(completes("SetTitle('first', 'second', {}, nil, 5)"));
    EXPECT_EQ(window.caption, "first");
    EXPECT_TRUE(completes("SetWebserverPort(8081, 'x')"));
    EXPECT_EQ(Settings().WebserverPort, 8081);
    EXPECT_TRUE(completes("NewMenu('ignored') AddMenu('m', 'M', 'extra')"));
    EXPECT_EQ(MainMenuItems().size(), 1u);
}

TEST_F(ScriptApi, AZeroByteCutsTheText) {
    EXPECT_TRUE(completes("SetTitle('ab\\0cd')"));
    EXPECT_EQ(window.caption, "ab");
    EXPECT_TRUE(completes("SetPHPPath('/usr/bin/php\\0-evil')"));
    EXPECT_EQ(Settings().PHPPath, "/usr/bin/php");
    EXPECT_TRUE(completes("NavigateTo('http://127.0.0.1/\\0#x')"));
    EXPECT_EQ(window.navigations.back(), "http://127.0.0.1/");
    EXPECT_TRUE(completes("SetInitialHTML('\\0everything')"));
    EXPECT_EQ(Settings().InitialHTML, "");
}

TEST_F(ScriptApi, SetWebserverPortTakesNumbersAndNumericStrings) {
    EXPECT_TRUE(completes("SetWebserverPort(8080)"));
    EXPECT_EQ(Settings().WebserverPort, 8080);
    EXPECT_TRUE(completes("SetWebserverPort('8090')"));
    EXPECT_EQ(Settings().WebserverPort, 8090);
    EXPECT_TRUE(completes("SetWebserverPort(' 0x1F ')"));
    EXPECT_EQ(Settings().WebserverPort, 31);
    EXPECT_TRUE(completes("SetWebserverPort(8080.9)"));  // truncated like the engine does
    EXPECT_EQ(Settings().WebserverPort, 8080);
    EXPECT_TRUE(completes("SetWebserverPort(-5)"));  // no range check here
    EXPECT_EQ(Settings().WebserverPort, -5);
}

TEST_F(ScriptApi, SetWebserverPortRefusesWhatIsNoNumber) {
    ASSERT_TRUE(completes("SetWebserverPort(8080)"));
    for (const char* arg : {"'eighty'", "'80x'", "''", "", "nil", "{}", "true"}) {
        SCOPED_TRACE(arg);
        EXPECT_FALSE(completes(std::string("SetWebserverPort(") + arg + ")"));
        EXPECT_EQ(Settings().WebserverPort, 8080);
    }
}

TEST_F(ScriptApi, SetWebserverPortDoesNotWrapHugeNumbersIntoOtherPorts) {
    // 2^32 + 80 would wrap round to port 80 in a 32-bit int.
    EXPECT_TRUE(completes("SetWebserverPort(4294967376)"));
    EXPECT_EQ(Settings().WebserverPort, -1);
    EXPECT_TRUE(completes("SetWebserverPort(1/0)"));
    EXPECT_EQ(Settings().WebserverPort, -1);
    EXPECT_TRUE(completes("SetWebserverPort(0/0)"));
    EXPECT_EQ(Settings().WebserverPort, -1);
}

TEST_F(ScriptApi, SetPHPWorkersTakesZeroToSixtyFourLikeAPortNumber) {
    EXPECT_EQ(Settings().PHPWorkers, 4);  // the desktop's default
    EXPECT_TRUE(completes("SetPHPWorkers('8')"));
    EXPECT_EQ(Settings().PHPWorkers, 8);
    EXPECT_TRUE(completes("SetPHPWorkers(0)"));
    EXPECT_EQ(Settings().PHPWorkers, 0);
    EXPECT_TRUE(completes("SetPHPWorkers(64)"));
    for (const char* arg : {"'abc'", "''", "", "nil", "{}", "65", "-1", "4294967300", "0/0"}) {
        SCOPED_TRACE(arg);
        EXPECT_FALSE(completes(std::string("SetPHPWorkers(") + arg + ")"));
        EXPECT_EQ(Settings().PHPWorkers, 64);
    }
    run("ok, message = pcall(function() SetPHPWorkers(100) end)");
    EXPECT_EQ(caught_message(), "bad argument #1 to 'SetPHPWorkers' (PHP workers must be from 0 to 64)");
}

TEST_F(ScriptApi, SetBaseURLNeedsATextAndChangesNothing) {
    EXPECT_FALSE(completes("SetBaseURL()"));
    EXPECT_TRUE(completes("SetBaseURL('http://example.invalid/')"));
    EXPECT_TRUE(window.calls.empty());
    EXPECT_EQ(Settings().InitialHTML, kLoadingPage);
    EXPECT_EQ(Settings().SitesPath, "");
}

TEST_F(ScriptApi, SettingsAreStoredUnresolved) {
    run("SetSitesPath('../site/./x') SetPHPPath('php') SetInitialHTML('<p>hi</p>')");
    EXPECT_EQ(Settings().SitesPath, "../site/./x");
    EXPECT_EQ(Settings().PHPPath, "php");
    EXPECT_EQ(Settings().InitialHTML, "<p>hi</p>");
}

TEST_F(ScriptApi, SetTaskbarTitleReachesTheWindowAndWorksWithoutOne) {
    EXPECT_TRUE(completes("SetTaskbarTitle('Task one')"));
    EXPECT_EQ(window.application_title, "Task one");
    SetMainWindow(nullptr);
    EXPECT_TRUE(completes("SetTaskbarTitle('Task two')"));
    EXPECT_EQ(ApplicationTitle(), "Task two");
    EXPECT_EQ(window.application_title, "Task one");
}

TEST_F(ScriptApi, WindowFunctionsDoNothingWithoutTheWindowButStillCheck) {
    SetMainWindow(nullptr);
    EXPECT_TRUE(completes("SetTitle('x') NavigateTo('http://127.0.0.1/')"));
    EXPECT_FALSE(completes("SetTitle()"));
    EXPECT_FALSE(completes("NavigateTo({})"));
    EXPECT_TRUE(window.calls.empty());
}

TEST_F(ScriptApi, NavigateToHandsTheAddressOverAsItIs) {
    run("NavigateTo('http://127.0.0.1:8080/index.php?a=1&b=2') NavigateTo('') NavigateTo('not a url')");
    EXPECT_EQ(window.navigations,
              (std::vector<std::string>{"http://127.0.0.1:8080/index.php?a=1&b=2", "", "not a url"}));
}

TEST_F(ScriptApi, AWindowFailureBecomesAScriptErrorWithACleanStack) {
    window.throw_on_caption = true;
    EXPECT_FALSE(completes("SetTitle('refused')"));
    run("ok, message = pcall(SetTitle, 'refused')");
    EXPECT_EQ(global("ok"), "false");
    EXPECT_EQ(global("message"), "caption refused");
    EXPECT_EQ(lua_gettop(LuaState()), 0);
    window.throw_on_caption = false;
    EXPECT_TRUE(completes("SetTitle('accepted')"));
    EXPECT_EQ(window.caption, "accepted");
}

TEST_F(ScriptApi, ArgumentErrorsNameTheFunctionAndArgument) {
    run("ok, message = pcall(function() SetTitle() end)");
    EXPECT_EQ(global("ok"), "false");
    EXPECT_EQ(caught_message(), "bad argument #1 to 'SetTitle' (string expected, got no value)");
    run("ok, message = pcall(function() SetWebserverPort('x') end)");
    EXPECT_EQ(caught_message(), "bad argument #1 to 'SetWebserverPort' (number expected, got string)");
}

}  // namespace
}  // namespace shelltest
