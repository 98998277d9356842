// PUT and DELETE: directory creation and the upload handler on their own, then
// the real server with curl and raw requests.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "digest_client.hpp"
#include "testkit.hpp"

#include "server/config/context.hpp"
#include "server/engine/connection.hpp"
#include "server/handlers/put.hpp"

using namespace vantrel;
using testkit::TempDir;

namespace {

const char kRealm[] = "vantrel-test";

// Names in a folder, "." and ".." left out.
std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

// A connection in the middle of an upload into `temp` that is to replace `target`.
struct Upload {
    std::unique_ptr<ServerContext> ctx = std::make_unique<ServerContext>();
    std::unique_ptr<connection> c = std::make_unique<connection>();
    Upload(const std::string& temp, const std::string& target, unsigned long length, int fd) {
        c->ctx = ctx.get();
        c->method = METHOD_PUT;
        c->status = 200;
        c->content_length = length;
        c->body_left = length;  // parse_request sets it from Content-Length
        c->put_temp = temp;
        c->put_target = target;
        c->fd.reset(fd);
        c->io_handler = put_file;
    }
    void receive(const std::string& bytes) {
        std::memcpy(c->remote.buf + c->remote.head, bytes.data(), bytes.size());
        c->remote.head += static_cast<unsigned>(bytes.size());
    }
    std::string reply() const { return std::string(c->local.buf + c->local.tail, c->local.pending()); }
};

}  // namespace

TEST(PutUnit, PutDirMakesTheMissingDirectories) {
    TempDir dir;
    EXPECT_EQ(put_dir((dir / "new/deeper/file.txt").c_str()), 1);
    struct stat st;
    ASSERT_EQ(stat((dir / "new/deeper").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_FALSE(testkit::file_exists(dir / "new/deeper/file.txt"));
    EXPECT_EQ(put_dir((dir / "new//again/file.txt").c_str()), 1);
    EXPECT_TRUE(testkit::file_exists(dir / "new/again"));

    // A path ending in "/" names a directory: made, and 0.
    EXPECT_EQ(put_dir((dir / "only/dir/").c_str()), 0);
    EXPECT_TRUE(testkit::file_exists(dir / "only/dir"));

    // A file where a directory should be.
    testkit::write_file(dir / "plain", "x");
    errno = 0;
    EXPECT_EQ(put_dir((dir / "plain/sub/file.txt").c_str()), -1);
    EXPECT_EQ(errno, ENOTDIR);

    // A directory prefix longer than any path: refused, nothing made.
    std::string long_path = dir / (std::string(300, 'd') + "/" + std::string(5000, 'e') + "/f.txt");
    errno = 0;
    EXPECT_EQ(put_dir(long_path.c_str()), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST(PutUnit, UploadIsWrittenOverManyStepsThenReplacesTheTarget) {
    TempDir dir;
    const std::string target = dir / "t.txt", temp = dir / ".t.txt.put-test";
    testkit::write_file(target, "old content");
    Upload up(temp, target, 10, open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));

    put_file(*up.c);  // nothing has come yet
    EXPECT_EQ(up.c->posted, 0u);
    up.receive("hel");
    put_file(*up.c);
    up.receive("lo w");
    put_file(*up.c);
    EXPECT_EQ(up.c->posted, 7u);
    EXPECT_EQ(up.c->remote.pending(), 0u);
    EXPECT_EQ(testkit::read_file(target), "old content");  // untouched until complete
    EXPECT_EQ(up.reply(), "");

    up.receive("orld and more");  // bytes beyond Content-Length are not stored
    put_file(*up.c);
    EXPECT_EQ(testkit::read_file(target), "hello worl");
    EXPECT_FALSE(testkit::file_exists(temp));
    EXPECT_TRUE(up.c->put_temp.empty());
    EXPECT_EQ(up.reply(), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(up.c->header_length, up.reply().size());
    EXPECT_EQ(up.c->local.complete, 1);
    EXPECT_EQ(up.c->io_handler, nullptr);
}

TEST(PutUnit, FailedWriteAnswers500AndKeepsTheOldFile) {
    TempDir dir;
    const std::string target = dir / "t.txt", temp = dir / ".t.txt.put-test";
    testkit::write_file(target, "old content");
    testkit::write_file(temp, "");
    // Every write to /dev/full fails with ENOSPC.
    Upload up(temp, target, 5, open("/dev/full", O_WRONLY));
    up.receive("hello");
    put_file(*up.c);
    EXPECT_EQ(up.c->status, 500);
    EXPECT_EQ(up.reply(),
              "HTTP/1.1 500 Error\r\nContent-Type: text/plain; charset=utf-8\r\nX-Content-Type-Options: nosniff\r\n"
              "\r\n500 PUT error");
    EXPECT_EQ(testkit::read_file(target), "old content");
    EXPECT_FALSE(testkit::file_exists(temp));
    EXPECT_EQ(up.c->io_handler, nullptr);
    EXPECT_FALSE(up.c->fd.valid());
}

// --- the real server ---

namespace {

struct PutSite {
    TempDir root, private_dir;
    std::string put_auth = private_dir / "put.htpasswd";
    PutSite() { testkit::write_file(put_auth, digest_client::htpasswd_line("alice", kRealm, "wonder")); }
    std::vector<std::string> args(bool with_put_auth = true) const {
        std::vector<std::string> a{"-d", root.path(), "-N", kRealm};
        if (with_put_auth) a.insert(a.end(), {"-U", put_auth});
        return a;
    }
};

// curl's status code for a request (and its exit code in `exit_code`).
testkit::CommandResult curl_code(std::vector<std::string> args) {
    args.insert(args.begin(), {"-o", "/dev/null", "-w", "%{http_code}"});
    return testkit::curl(args);
}

// A PUT with a Digest header computed here; the raw reply.
std::string raw_put(int port, const std::string& path, const std::string& body, const std::string& headers = "") {
    std::string nonce = digest_client::fetch_nonce(port, "PUT", path);
    digest_client::Params p{"alice", kRealm, "wonder", "PUT", path, nonce};
    return testkit::raw_request(port, "PUT " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                          digest_client::authorization(p) + headers + "\r\n" + body);
}

}  // namespace

TEST(PutServer, CurlPutMakesDirectoriesThenReplaces) {
    PutSite site;
    TempDir src;
    testkit::write_file(src / "a.txt", "first version\n");
    testkit::ServerProcess server(site.args());

    auto created = curl_code({"-T", src / "a.txt", "--digest", "-u", "alice:wonder", server.url("/new/dir/a.txt")});
    EXPECT_EQ(created.exit_code, 0) << created.err;
    EXPECT_EQ(created.out, "201");
    EXPECT_EQ(testkit::read_file(site.root / "new/dir/a.txt"), "first version\n");

    testkit::write_file(src / "a.txt", "second\n");
    auto replaced = curl_code({"-T", src / "a.txt", "--digest", "-u", "alice:wonder", server.url("/new/dir/a.txt")});
    EXPECT_EQ(replaced.exit_code, 0) << replaced.err;
    EXPECT_EQ(replaced.out, "200");
    EXPECT_EQ(testkit::read_file(site.root / "new/dir/a.txt"), "second\n");
    // No temporary file is left behind.
    EXPECT_EQ(entries(site.root / "new/dir"), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(testkit::http_get(server.port(), "/new/dir/a.txt").body, "second\n");
}

TEST(PutServer, ReplyIsAHeadWithLengthZero) {
    PutSite site;
    testkit::write_file(site.root / "keep.txt", "old");
    testkit::ServerProcess server(site.args());
    EXPECT_EQ(raw_put(server.port(), "/fresh.txt", "hello", "Content-Length: 5\r\n"),
              "HTTP/1.1 201 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(testkit::read_file(site.root / "fresh.txt"), "hello");
    // More bytes than announced: only the announced ones are stored.
    EXPECT_EQ(raw_put(server.port(), "/keep.txt", "newEXTRA", "Content-Length: 3\r\n"),
              "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(testkit::read_file(site.root / "keep.txt"), "new");
    // A body in chunks is stored decoded.
    EXPECT_EQ(raw_put(server.port(), "/chunked.txt", "3\r\nabc\r\n2;x=y\r\nde\r\n0\r\n\r\n",
                      "Transfer-Encoding: chunked\r\n"),
              "HTTP/1.1 201 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(testkit::read_file(site.root / "chunked.txt"), "abcde");
}

TEST(PutServer, LargeUploadArrivesWhole) {
    PutSite site;
    TempDir src;
    std::string data;
    data.reserve(3u << 20);
    for (unsigned i = 0; data.size() < (3u << 20); i++) data += std::to_string(i * 2654435761u) + ",";
    testkit::write_file(src / "big.bin", data);
    testkit::ServerProcess server(site.args());
    auto put = curl_code({"-v", "-T", src / "big.bin", "--digest", "-u", "alice:wonder", server.url("/up/big.bin")});
    EXPECT_EQ(put.exit_code, 0) << put.err;
    EXPECT_EQ(put.out, "201");
    // curl asks before sending more than a megabyte, and is told to go ahead.
    EXPECT_NE(put.err.find("< HTTP/1.1 100 Continue"), std::string::npos);
    EXPECT_TRUE(testkit::read_file(site.root / "up/big.bin") == data);
}

TEST(PutServer, DeleteRemovesFilesOnly) {
    PutSite site;
    testkit::write_file(site.root / "gone.txt", "x");
    testkit::make_dirs(site.root / "folder");
    testkit::ServerProcess server(site.args());
    auto del = [&](const std::string& path) {
        return testkit::curl({"-X", "DELETE", "--digest", "-u", "alice:wonder", "-w", "\n%{http_code}",
                              server.url(path)});
    };
    auto first = del("/gone.txt");
    EXPECT_EQ(first.exit_code, 0);
    EXPECT_EQ(first.out, "200 \n200");
    EXPECT_FALSE(testkit::file_exists(site.root / "gone.txt"));
    auto again = del("/gone.txt");
    EXPECT_EQ(again.out, "500 No such file or directory\n500");
    auto folder = del("/folder");
    EXPECT_EQ(folder.out.substr(folder.out.rfind('\n') + 1), "500");
    EXPECT_TRUE(testkit::file_exists(site.root / "folder"));
}

TEST(PutServer, WithoutPutAuthOrRightCredentialsEverythingIs401) {
    PutSite site;
    testkit::write_file(site.root / "keep.txt", "keep");
    TempDir src;
    testkit::write_file(src / "b.txt", "intruder");
    {
        testkit::ServerProcess server(site.args(false));
        EXPECT_EQ(curl_code({"-T", src / "b.txt", "--digest", "-u", "alice:wonder", server.url("/keep.txt")}).out,
                  "401");
        EXPECT_EQ(curl_code({"-X", "DELETE", "--digest", "-u", "alice:wonder", server.url("/keep.txt")}).out, "401");
        EXPECT_EQ(curl_code({"-T", src / "b.txt", server.url("/new.txt")}).out, "401");
    }
    {
        testkit::ServerProcess server(site.args());
        EXPECT_EQ(curl_code({"-T", src / "b.txt", "--digest", "-u", "alice:wrong", server.url("/keep.txt")}).out,
                  "401");
        EXPECT_EQ(curl_code({"-X", "DELETE", server.url("/keep.txt")}).out, "401");
        // A password file for the folder does not grant writes.
        testkit::write_file(site.root / "d/.htpasswd", digest_client::htpasswd_line("bob", kRealm, "builder"));
        testkit::write_file(site.root / "d/x.txt", "x");
        EXPECT_EQ(curl_code({"-X", "DELETE", "--digest", "-u", "bob:builder", server.url("/d/x.txt")}).out, "401");
    }
    EXPECT_EQ(testkit::read_file(site.root / "keep.txt"), "keep");
    EXPECT_FALSE(testkit::file_exists(site.root / "new.txt"));
    EXPECT_TRUE(testkit::file_exists(site.root / "d/x.txt"));
}

TEST(PutServer, RefusedUploads) {
    PutSite site;
    testkit::write_file(site.root / "t.txt", "untouched");
    testkit::make_dirs(site.root / "adir");
    // The put_auth file also guards the whole site here (-P): a directory too long
    // to hold its own password file would otherwise be challenged before put_dir runs.
    auto args = site.args();
    args.insert(args.end(), {"-P", site.put_auth});
    testkit::ServerProcess server(args);
    server.expect_stderr("handle: open(" + site.root / "adir): Is a directory");
    int port = server.port();

    auto range = testkit::parse_reply(raw_put(port, "/t.txt", "abc", "Content-Length: 3\r\nRange: bytes=0-2\r\n"));
    EXPECT_EQ(range.status_line, "HTTP/1.1 501 Not Implemented");
    EXPECT_EQ(range.body, "501 Range for PUT not implemented");
    auto no_length = testkit::parse_reply(raw_put(port, "/t.txt", ""));
    EXPECT_EQ(no_length.status_line, "HTTP/1.1 411 Length Required");
    EXPECT_EQ(no_length.body, "411 Length Required");
    EXPECT_EQ(testkit::parse_reply(raw_put(port, "/t.txt", "", "Content-Length: 0\r\n")).status, 411);
    EXPECT_EQ(testkit::read_file(site.root / "t.txt"), "untouched");

    auto folder = testkit::parse_reply(raw_put(port, "/made/here/", "abc", "Content-Length: 3\r\n"));
    EXPECT_EQ(folder.status_line, "HTTP/1.1 200 OK");
    EXPECT_TRUE(testkit::file_exists(site.root / "made/here"));

    auto over_dir = testkit::parse_reply(raw_put(port, "/adir", "abc", "Content-Length: 3\r\n"));
    EXPECT_EQ(over_dir.status, 500);
    EXPECT_EQ(over_dir.body, "500 PUT error");

    std::string too_long = "/" + std::string(200, 'a') + "/" + std::string(4000, 'b') + "/c.txt";
    auto long_prefix = testkit::parse_reply(raw_put(port, too_long, "abc", "Content-Length: 3\r\n"));
    EXPECT_EQ(long_prefix.status, 500);
    EXPECT_EQ(long_prefix.body, "500 File name too long");
    EXPECT_TRUE(server.running());

    auto secret = testkit::parse_reply(raw_put(port, "/x.htpasswd", "a:b:c", "Content-Length: 5\r\n"));
    EXPECT_EQ(secret.status, 403);
    EXPECT_FALSE(testkit::file_exists(site.root / "x.htpasswd"));
}

// Writes never leave the document root or an alias folder, whatever the URI or
// the links on the way; folders closed by their .htaccess take no writes either.
TEST(PutServer, WritesStayInsideTheirFolderByTable) {
    PutSite site;
    TempDir outside;
    testkit::write_file(outside / "secret.txt", "outside");
    testkit::write_file(outside / "al/in.txt", "aliased");
    testkit::write_file(outside / "bl_x/secret.txt", "sibling");
    testkit::make_dirs(outside / "bl");
    testkit::write_file(site.root / "data/.htaccess", "Deny from all\n");
    testkit::write_file(site.root / "data/page.txt", "page");
    testkit::run_command({"ln", "-s", outside.path(), site.root / "outlink"});
    testkit::run_command({"ln", "-s", outside / "secret.txt", site.root / "filelink"});
    auto args = site.args();
    args.insert(args.end(), {"-a", outside / "al/=/al," + outside / "bl=/bl"});
    testkit::ServerProcess server(args);

    struct Case {
        std::string method, path;
        int status;
    } cases[] = {
        {"PUT", "/al../secret.txt", 201},      // not the alias /al: a name under the root
        {"DELETE", "/al../secret.txt", 200},
        {"PUT", "/bl_x/secret.txt", 201},      // the root's own /bl_x, not the alias folder's sibling
        {"DELETE", "/bl_x/secret.txt", 200},
        {"PUT", "/outlink/secret.txt", 403},   // through a link that leaves the root
        {"PUT", "/outlink/new/file.txt", 403},
        {"DELETE", "/outlink/secret.txt", 403},
        {"PUT", "/filelink", 403},
        {"DELETE", "/filelink", 403},
        {"PUT", "/data/page.txt", 403},        // closed by .htaccess
        {"DELETE", "/data/page.txt", 403},
        {"PUT", "/al/in.txt", 200},            // inside the alias folder
    };
    for (const auto& c : cases) {
        std::string nonce = digest_client::fetch_nonce(server.port(), c.method, c.path);
        digest_client::Params p{"alice", kRealm, "wonder", c.method, c.path, nonce};
        std::string reply = testkit::raw_request(
            server.port(), c.method + " " + c.path + " HTTP/1.1\r\n" + digest_client::authorization(p) +
                               (c.method == "PUT" ? "Content-Length: 3\r\n\r\nnew" : "\r\n"));
        EXPECT_EQ(testkit::parse_reply(reply).status, c.status) << c.method << " " << c.path;
    }
    EXPECT_EQ(testkit::read_file(outside / "secret.txt"), "outside");
    EXPECT_EQ(testkit::read_file(outside / "bl_x/secret.txt"), "sibling");
    EXPECT_FALSE(testkit::file_exists(outside / "new"));
    EXPECT_EQ(testkit::read_file(site.root / "data/page.txt"), "page");
    EXPECT_EQ(testkit::read_file(outside / "al/in.txt"), "new");
}

TEST(PutServer, LongestLegalNameIsStored) {
    PutSite site;
    testkit::ServerProcess server(site.args());
    for (std::size_t length : {244u, 250u, 255u}) {
        std::string name = std::string(length - 4, 'n') + ".txt";
        EXPECT_EQ(testkit::parse_reply(raw_put(server.port(), "/" + name, "abc", "Content-Length: 3\r\n")).status, 201)
            << length;
        EXPECT_EQ(testkit::read_file(site.root / name), "abc");
    }
    EXPECT_EQ(entries(site.root.path()).size(), 3u);  // no temporary left
}

// A client that asks to be told before it sends its body: an accepted upload
// gets "100 Continue" first, a refused one only its final status.
TEST(PutServer, ExpectContinueIsAnsweredOnlyForAcceptedUploads) {
    PutSite site;
    testkit::ServerProcess server(site.args());
    auto read_some = [](int s, const std::string& until) {
        std::string got;
        char buf[4096];
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.find(until) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    };

    std::string nonce = digest_client::fetch_nonce(server.port(), "PUT", "/up.txt");
    digest_client::Params p{"alice", kRealm, "wonder", "PUT", "/up.txt", nonce};
    int s = testkit::connect_loopback(server.port());
    ASSERT_GE(s, 0);
    std::string head = "PUT /up.txt HTTP/1.1\r\n" + digest_client::authorization(p) +
                       "Expect: 100-continue\r\nContent-Length: 5\r\n\r\n";
    send(s, head.data(), head.size(), MSG_NOSIGNAL);
    EXPECT_EQ(read_some(s, "\r\n\r\n"), "HTTP/1.1 100 Continue\r\n\r\n");
    send(s, "hello", 5, MSG_NOSIGNAL);
    EXPECT_EQ(testkit::parse_reply(read_some(s, "\r\n\r\n")).status, 201);
    close(s);
    EXPECT_EQ(testkit::read_file(site.root / "up.txt"), "hello");

    // Without credentials: the final 401 alone, no interim response before it.
    std::string refused = testkit::raw_request(
        server.port(), "PUT /up.txt HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
    EXPECT_EQ(refused.rfind("HTTP/1.1 401 Unauthorized\r\n", 0), 0u) << refused;
    EXPECT_EQ(refused.find("100 Continue"), std::string::npos);
}

TEST(PutServer, AbortedUploadKeepsTheOldFile) {
    PutSite site;
    testkit::write_file(site.root / "doc.txt", "old");
    testkit::ServerProcess server(site.args());
    server.expect_stderr("put_file: " + site.root / "doc.txt" + ": Broken pipe");
    std::string nonce = digest_client::fetch_nonce(server.port(), "PUT", "/doc.txt");
    digest_client::Params p{"alice", kRealm, "wonder", "PUT", "/doc.txt", nonce};
    // Half of the announced body, then the client goes away.
    testkit::raw_request(server.port(),
                         "PUT /doc.txt HTTP/1.1\r\n" + digest_client::authorization(p) +
                             "Content-Length: 100000\r\n\r\n" + std::string(50000, 'n'),
                         std::chrono::milliseconds(500));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (entries(site.root.path()).size() > 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(entries(site.root.path()), std::vector<std::string>{"doc.txt"});
    EXPECT_EQ(testkit::read_file(site.root / "doc.txt"), "old");
}
