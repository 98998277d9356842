// Options: table, configuration file, switches, precedence, fatal messages, usage.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options_fixture.hpp"
#include "testkit.hpp"

#include "server/config/options.hpp"
#include "server/core/log.hpp"
#include "server/engine/engine.hpp"

using namespace vantrel;
using namespace testkit;

namespace {

class Options : public RecordsFatals {};

std::vector<std::string> log_lines(const std::string& err) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        std::string line = err.substr(start, end - start);
        std::size_t blank = line.find(' ');
        lines.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

}  // namespace

TEST_F(Options, TableRowsInOrder) {
    const auto& table = option_table();
    ASSERT_EQ(table.size(), kOptionCount);
    std::string letters;
    for (const auto& row : table) letters += row.letter;
    EXPECT_EQ(letters, "dipDcCNlemPvsUVagWFbkKBT");
    EXPECT_STREQ(table[1].default_value, "index.html,index.php,index.cgi");
    EXPECT_STREQ(table[4].keyword, "cgi_extention");
    EXPECT_STREQ(table[14].arg_label, "X=Y,....");
    EXPECT_EQ(find_option('p', nullptr), &option_table()[2]);
    EXPECT_EQ(find_option(0, "auth_realm"), &option_table()[6]);
    EXPECT_EQ(find_option(0, "Auth_Realm"), nullptr);
}

TEST_F(Options, DefaultsAndEmbeddingOptions) {
    auto ctx = init_context(nullptr, {{"document_root", "/srv/site"},
                                      {"cgi_extention", ".php"},
                                      {"cgi_interpreter", "/usr/bin/php-cgi"},
                                      {"mime_types", "builtin"},
                                      {"listen_port", "8080"}});
    ASSERT_TRUE(ctx);
    EXPECT_STREQ(ctx->root, "/srv/site");
    EXPECT_EQ(ctx->cgi_extention, ".php");
    EXPECT_EQ(ctx->listen_port, 8080);
    EXPECT_EQ(ctx->list_directories, 1);
    EXPECT_EQ(ctx->index_files, "index.html,index.php,index.cgi");
    EXPECT_EQ(ctx->mimetypes.size(), 60u);
    EXPECT_EQ(ctx->mimetypes.front().extension, "md");  // newest first
    free_context(std::move(ctx));
}

TEST_F(Options, EmptyRootIsTheWorkingDirectory) {
    auto ctx = init_context(nullptr, {{"document_root", ""}});
    ASSERT_TRUE(ctx);
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    EXPECT_STREQ(ctx->root, cwd);
}

TEST_F(Options, AliasesAndEnvironmentItems) {
    debug_mode = 1;
    auto ctx = init_context(nullptr, {{"aliases", "/data=/files/,/img=/pics/"}, {"cgi_envvar", "A=1,broken,B=x=y c"}});
    ASSERT_TRUE(ctx);
    ASSERT_EQ(ctx->aliases.size(), 2u);
    EXPECT_EQ(ctx->aliases[0].name, "/img");
    EXPECT_EQ(ctx->aliases[0].value, "/pics/");
    ASSERT_EQ(ctx->envvars.size(), 2u);
    EXPECT_EQ(ctx->envvars[0].name, "B");
    EXPECT_EQ(ctx->envvars[0].value, "x=y");
}

TEST_F(Options, UnknownKeywordAndMissingMimeFileAreFatal) {
    EXPECT_FALSE(init_context(nullptr, {{"no_such_option", "1"}}));
    ASSERT_EQ(fatals.size(), 1u);
    EXPECT_EQ(fatals[0], "setopt: unknown variable [no_such_option]");
    EXPECT_FALSE(init_context(nullptr, {{"mime_types", "Builtin"}}));
    ASSERT_EQ(fatals.size(), 2u);
    EXPECT_EQ(fatals[1], "setmimetypes: fopen(Builtin): No such file or directory");
}

TEST_F(Options, MimeTypesFile) {
    TempDir dir;
    write_file(dir / "mime.types", "# comment\n\ntext/html html htm\r\napplication/x-thing thing\n   \n");
    auto ctx = init_context(nullptr, {{"mime_types", dir / "mime.types"}});
    ASSERT_TRUE(ctx);
    ASSERT_EQ(ctx->mimetypes.size(), 3u);
    EXPECT_EQ(ctx->mimetypes[0].extension, "thing");
    EXPECT_EQ(ctx->mimetypes[1].extension, "htm");
    EXPECT_EQ(ctx->mimetypes[1].type, "text/html");
}

TEST_F(Options, PortOutsideTheRangeIsFatal) {
    EXPECT_EQ(server_open_port(70000), -1);
    ASSERT_EQ(fatals.size(), 1u);
    EXPECT_EQ(fatals[0].rfind("server_open_port: bind(70000): ", 0), 0u) << fatals[0];
}

TEST(StandaloneConfig, SwitchBeatsFileBeatsDefault) {
    TempDir dir;
    write_file(dir / "site/a.txt", "from file root");
    write_file(dir / "other/a.txt", "from switch root");
    int port = free_port();
    write_file(dir / "vantrel.conf", "# settings\r\n\r\ndocument_root " + dir.path() + "/site\r\nlisten_port " +
                                         std::to_string(port) + " trailing words\r\n");
    {
        ServerProcess server({dir / "vantrel.conf"}, port);  // -p PORT from the kit, same port
        EXPECT_EQ(http_get(server.port(), "/a.txt").body, "from file root");
    }
    {
        ServerProcess server({"-d", dir / "other", dir / "vantrel.conf"}, port);
        EXPECT_EQ(http_get(server.port(), "/a.txt").body, "from switch root");
    }
}

TEST(StandaloneConfig, FatalMessagesGoToStderrWithExitCode1) {
    TempDir dir;
    write_file(dir / "bad.conf", "document_root\n");
    write_file(dir / "unknown.conf", "colour blue\n");
    struct Case {
        std::vector<std::string> args;
        std::string message;
        std::string later = "";  // a line that must still follow
    } cases[] = {
        // An error log that cannot be opened leaves stderr in place to say so, and what follows.
        {{"-e", "/nonexistent/x/log", "-m", "/nonexistent/mime"},
         "freopen(/nonexistent/x/log): No such file or directory",
         "setmimetypes: fopen(/nonexistent/mime): No such file or directory"},
        {{dir / "bad.conf"}, "do_init: bad line: [document_root]"},
        {{dir / "unknown.conf"}, "Unknown variable [colour]"},
        {{"-m", "nonexistent.types"}, "setmimetypes: fopen(nonexistent.types): No such file or directory"},
        {{"-s", dir / "missing.pem"}, "cannot open " + dir.path() + "/missing.pem"},
        {{"-p", "99999"}, "server_open_port: bind(99999): Invalid argument"},
        {{"-b", "localhost"}, "set_listen_address: not an IPv4 address: [localhost]"},
        {{"-b", "::1"}, "set_listen_address: not an IPv4 address: [::1]"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{httpd_path()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        CommandResult r = run_command(argv, "", std::chrono::seconds(10));
        EXPECT_EQ(r.exit_code, 1) << c.message;
        auto lines = log_lines(r.err);
        ASSERT_FALSE(lines.empty()) << c.message;
        EXPECT_EQ(lines[0], c.message);
        if (!c.later.empty()) {
            EXPECT_NE(r.err.find(c.later), std::string::npos) << r.err;
        }
    }
}

TEST(StandaloneConfig, PortInUseIsFatal) {
    ServerProcess first({"-d", "/tmp"});
    CommandResult r = run_command({httpd_path(), "-p", std::to_string(first.port())}, "", std::chrono::seconds(10));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("server_open_port: bind(" + std::to_string(first.port()) + "): Address already in use"),
              std::string::npos)
        << r.err;
}

TEST(StandaloneConfig, BadSwitchPrintsUsage) {
    for (std::vector<std::string> args : {std::vector<std::string>{"-Z"}, {"-p"}, {"-A", "only-two"}}) {
        std::vector<std::string> argv{httpd_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        CommandResult r = run_command(argv, "", std::chrono::seconds(10));
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_NE(r.err.find("-A <htpasswd_file> <realm> <user> <passwd>\n"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("-d <directory>\t\tWeb root directory (document_root)\n"), std::string::npos);
        EXPECT_NE(r.err.find("-g <0|1>\t\tGUI support (enable_gui)\n"), std::string::npos);
        EXPECT_NE(r.err.find("-T <seconds>\t\tLongest program run (s, 0: no limit) (cgi_timeout)\n"), std::string::npos);
        EXPECT_NE(r.err.find("[OPTIONS] [config_file]"), std::string::npos);
    }
}

TEST(StandaloneConfig, ListenAddressDefaultsToEveryAddressAndLeavesHostsAlone) {
    ServerProcess everywhere({"-d", "/tmp"});
    EXPECT_EQ(listening_address(everywhere.port()), "0.0.0.0");
    ServerProcess loopback({"-d", "/tmp", "-b", "127.0.0.1"});
    EXPECT_EQ(listening_address(loopback.port()), "127.0.0.1");
    // The standalone server may sit behind a proxy: no Host or Origin check.
    std::string request = "GET / HTTP/1.1\r\nHost: evil.example\r\nOrigin: http://evil.example\r\n\r\n";
    EXPECT_EQ(parse_reply(raw_request(loopback.port(), request)).status, 200);
}


// Persistent connections and the body limit: numbers in range, sizes with K, M
// or G; anything else is fatal and names its keyword.
TEST_F(Options, KeepAliveAndBodyLimitValuesOrFatal) {
    struct Case {
        const char* letter;
        const char* value;
        long long expected;  // -1: fatal
        const char* keyword;
    } cases[] = {
        {"-k", "1", 1, "keep_alive"},          {"-k", "0", 0, "keep_alive"},
        {"-k", "2", -1, "keep_alive"},         {"-k", "yes", -1, "keep_alive"},
        {"-K", "5", 5, "keep_alive_timeout"},  {"-K", "0", -1, "keep_alive_timeout"},
        {"-K", "x", -1, "keep_alive_timeout"}, {"-B", "0", 0, "max_body_size"},
        {"-B", "1000", 1000, "max_body_size"}, {"-B", "64K", 65536, "max_body_size"},
        {"-B", "2m", 2LL << 20, "max_body_size"}, {"-B", "1G", 1LL << 30, "max_body_size"},
        {"-B", "M", -1, "max_body_size"},      {"-B", "12Q", -1, "max_body_size"},
        {"-B", "-5", -1, "max_body_size"},     {"-B", "999999999999G", -1, "max_body_size"},
        {"-T", "2", 2, "cgi_timeout"},         {"-T", "0", 0, "cgi_timeout"},
        {"-T", "-1", -1, "cgi_timeout"},       {"-T", "5s", -1, "cgi_timeout"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.letter) + " " + c.value);
        fatals.clear();
        reset_options();
        const char* argv[] = {"vantrel-httpd", c.letter, c.value};
        auto ctx = do_init(nullptr, 3, argv);
        if (c.expected < 0) {
            EXPECT_FALSE(ctx);
            ASSERT_EQ(fatals.size(), 1u);
            EXPECT_NE(fatals[0].find(c.keyword), std::string::npos) << fatals[0];
            continue;
        }
        ASSERT_TRUE(ctx);
        long long got = c.letter[1] == 'k' ? ctx->keep_alive
                        : c.letter[1] == 'K' ? ctx->keep_alive_timeout
                        : c.letter[1] == 'T' ? ctx->cgi_timeout
                                             : static_cast<long long>(ctx->max_body_size);
        EXPECT_EQ(got, c.expected);
        free_context(std::move(ctx));
    }
    // The defaults: one request per connection, 15 s, 256 MiB, programs 300 s.
    reset_options();
    const char* argv[] = {"vantrel-httpd"};
    auto ctx = do_init(nullptr, 1, argv);
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx->keep_alive, 0);
    EXPECT_EQ(ctx->keep_alive_timeout, 15);
    EXPECT_EQ(ctx->max_body_size, 256ULL << 20);
    EXPECT_EQ(ctx->cgi_timeout, 300);
    free_context(std::move(ctx));
}
