// Directory listings: the escaping and size helpers, then real listings from the
// real server, fetched with curl and raw requests.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <regex>
#include <string>

#include "digest_client.hpp"
#include "testkit.hpp"

#include "server/config/context.hpp"
#include "server/engine/connection.hpp"
#include "server/handlers/listing.hpp"

using namespace vantrel;
using testkit::TempDir;

namespace {

std::string size_of(off_t bytes, bool dir = false) {
    struct stat st {};
    st.st_size = bytes;
    st.st_mode = dir ? S_IFDIR : S_IFREG;
    char out[32];
    format_size(st, out, sizeof out);
    return out;
}

std::string escaped(const char* text, std::size_t capacity = 256) {
    std::string buf(capacity, '\0');
    Appender a(buf.data(), capacity);
    a.html(text);
    return buf.c_str();
}

std::string encoded(const char* text) {
    char buf[2048];
    Appender a(buf, sizeof buf);
    a.url(text);
    return buf;
}

// Sets TZ for one test (the listing shows local time) and restores it afterwards.
class ScopedUtc {
public:
    ScopedUtc() {
        if (const char* tz = std::getenv("TZ")) saved_ = tz, had_ = true;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    ~ScopedUtc() {
        if (had_)
            setenv("TZ", saved_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string saved_;
    bool had_ = false;
};

// One listing row: link, shown name, date, size.
struct Row {
    std::string href, name, date, size;
};

const std::regex kRowRe(
    "<tr><td><a href=\"([^\"<>]*)\">([^<]*)</a></td><td>([^<]*)</td><td>&nbsp;&nbsp;([^<]*)</td></tr>");

// The page's rows keyed by shown name; `lines` counts every line after the head.
std::map<std::string, Row> rows_of(const std::string& body, int* bad_lines = nullptr) {
    std::map<std::string, Row> rows;
    std::size_t start = body.find("<tr><td colspan=\"3\"><hr></td></tr>");
    if (start == std::string::npos) return rows;
    std::string rest = body.substr(start + std::strlen("<tr><td colspan=\"3\"><hr></td></tr>"));
    int bad = 0;
    std::size_t pos = 0;
    while (pos < rest.size()) {
        std::size_t end = rest.find('\n', pos);
        std::string line = rest.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? rest.size() : end + 1;
        std::smatch m;
        if (std::regex_match(line, m, kRowRe))
            rows[m[2].str()] = Row{m[1].str(), m[2].str(), m[3].str(), m[4].str()};
        else
            bad++;
    }
    if (bad_lines) *bad_lines = bad;
    return rows;
}

}  // namespace

TEST(ListingUnit, SizeColumn) {
    EXPECT_EQ(size_of(0), "0");
    EXPECT_EQ(size_of(1023), "1023");
    EXPECT_EQ(size_of(1024), "2k");
    EXPECT_EQ(size_of(2047), "2k");
    EXPECT_EQ(size_of(1048575), "1024k");
    EXPECT_EQ(size_of(1048576), "1.0M");
    EXPECT_EQ(size_of(1310720), "1.2M");  // 1.25 exactly: to even, as "%.1f" rounds
    EXPECT_EQ(size_of(1415578), "1.4M");  // 1.35000038...
    EXPECT_EQ(size_of(1572864), "1.5M");
    EXPECT_EQ(size_of(10LL * 1048576 - 1), "10.0M");
    EXPECT_EQ(size_of(5LL * 1024 * 1048576), "5120.0M");
    EXPECT_EQ(size_of(4096, true), "&lt;DIR&gt;");
}

TEST(ListingUnit, EscapingForHtmlAndLinks) {
    EXPECT_EQ(escaped("a <b> & \"c\" 'd'.txt"), "a &lt;b&gt; &amp; &quot;c&quot; &#39;d&#39;.txt");
    EXPECT_EQ(escaped("plain-name_1.txt"), "plain-name_1.txt");
    EXPECT_EQ(encoded("/dir/a <b> & \"c\".txt"), "/dir/a%20%3Cb%3E%20%26%20%22c%22.txt");
    EXPECT_EQ(encoded("a+b?c#d%e"), "a%2Bb%3Fc%23d%25e");
    EXPECT_EQ(encoded("caf\xc3\xa9~.-_"), "caf%C3%A9~.-_");
    // A buffer too small stops before an escape, never inside it.
    EXPECT_EQ(escaped("ab<cd", 5), "ab");
    EXPECT_EQ(escaped("ab<cd", 7), "ab&lt;");
    char buf[6];
    Appender a(buf, sizeof buf);
    a.url("ab c");
    EXPECT_STREQ(buf, "ab%20");
    a.url("x");
    EXPECT_TRUE(a.cut);
    EXPECT_STREQ(buf, "ab%20");
}

TEST(ListingUnit, ParentUri) {
    auto parent = [](const char* uri) { return std::string(uri, parent_uri_length(uri)); };
    EXPECT_EQ(parent("/"), "/");
    EXPECT_EQ(parent("/docs/"), "/");
    EXPECT_EQ(parent("/docs/sub/"), "/docs/");
    EXPECT_EQ(parent("/docs/index.html"), "/docs/");
}

TEST(ListingUnit, RowLimitCoversTheLongestName) {
    // The worst row: a 255-byte name of quotes (6 characters each shown, 3 in the link).
    std::string uri = "/some/dir/";
    std::size_t worst = std::strlen("<tr><td><a href=\"\"></a></td><td></td><td>&nbsp;&nbsp;</td></tr>\n") +
                        3 * uri.size() + 3 * 255 + 6 * 255 + 1 + std::strlen("01-Jan-2000 00:00") +
                        std::strlen("&lt;DIR&gt;") + 1;
    EXPECT_GE(listing_row_limit(uri.c_str()), worst);
    EXPECT_LT(listing_row_limit(uri.c_str()), 16383u / 4);
}

TEST(ListingUnit, DatesAndSizesStayEnglishUnderAnyLocale) {
    TempDir dir;
    testkit::write_file(dir / "d/m.txt", "");
    ASSERT_EQ(truncate((dir / "d/m.txt").c_str(), 1572864), 0);
    struct utimbuf times {1615809600, 1615809600};  // 15-Mar-2021 12:00 UTC
    utime((dir / "d/m.txt").c_str(), &times);
    ScopedUtc utc;
    // The desktop program runs in the user's locale (GTK sets it).
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no German locale here";

    ServerContext ctx;
    auto c = std::make_unique<connection>();
    c->ctx = &ctx;
    c->dir_path = dir / "d/";
    std::strcpy(c->uri, "/d/");
    list_dir(*c);
    std::string page;
    for (int step = 0; step < 100 && c->io_handler; step++) {
        c->io_handler(*c);
        page.append(c->local.buf + c->local.tail, c->local.pending());
        c->local.clear();
    }
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(c->io_handler, nullptr);
    EXPECT_EQ(c->local.complete, 1);
    auto rows = rows_of(page);
    ASSERT_EQ(rows.count("m.txt"), 1u) << page;
    EXPECT_EQ(rows["m.txt"].date, "15-Mar-2021 12:00");
    EXPECT_EQ(rows["m.txt"].size, "1.5M");
}

TEST(ListingServer, ListsEntriesWithSizesAndSkipsPasswordFiles) {
    TempDir root;
    testkit::write_file(root / "docs/a.txt", std::string(1024, 'a'));
    testkit::write_file(root / "docs/small.txt", "12345");
    testkit::make_dirs(root / "docs/b");
    testkit::write_file(root / "docs/.htpasswd", digest_client::htpasswd_line("alice", "listing", "pw"));
    // Dot-files stay out of the page: an upload in progress, a folder's settings, a hidden folder.
    testkit::write_file(root / "docs/.report.txt.put-Ab12Cd", "partial");
    testkit::write_file(root / "docs/.htaccess", "Options -Indexes\n");
    testkit::make_dirs(root / "docs/.git");
    // A fixed modification time, shown in the local calendar (UTC here).
    ScopedUtc utc;  // the server inherits it
    struct utimbuf times {1615809600, 1615809600};  // 15-Mar-2021 12:00 UTC
    utime((root / "docs/small.txt").c_str(), &times);
    testkit::ServerProcess server({"-d", root.path(), "-N", "listing"});
    auto get_docs = [&](const char* method) {
        digest_client::Params p{"alice", "listing", "pw", method, "/docs/",
                                digest_client::fetch_nonce(server.port(), "GET", "/docs/")};
        return testkit::parse_reply(testkit::raw_request(
            server.port(), std::string(method) + " /docs/ HTTP/1.1\r\n" + digest_client::authorization(p) + "\r\n"));
    };

    auto redirect = testkit::http_get(server.port(), "/docs");
    EXPECT_EQ(redirect.status, 301);
    EXPECT_EQ(redirect.headers["location"], "/docs/");

    auto page = get_docs("GET");
    EXPECT_EQ(page.status_line, "HTTP/1.1 200 OK");
    EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
    EXPECT_EQ(page.body.rfind("<html><head><title>Index of /docs/</title>", 0), 0u);
    EXPECT_NE(page.body.find("<h1>Index of /docs/</h1>"), std::string::npos);

    int bad = -1;
    auto rows = rows_of(page.body, &bad);
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(rows.size(), 4u) << page.body;
    EXPECT_EQ(rows["a.txt"].size, "2k");
    EXPECT_EQ(rows["a.txt"].href, "/docs/a.txt");
    EXPECT_EQ(rows["small.txt"].size, "5");
    EXPECT_EQ(rows["small.txt"].date, "15-Mar-2021 12:00");
    EXPECT_EQ(rows["b/"].size, "&lt;DIR&gt;");
    EXPECT_EQ(rows["b/"].href, "/docs/b");
    EXPECT_EQ(rows["../"].size, "&lt;DIR&gt;");
    EXPECT_EQ(rows["../"].href, "/");
    EXPECT_EQ(rows.count("./"), 0u);
    EXPECT_EQ(page.body.find("htpasswd"), std::string::npos);
    EXPECT_EQ(page.body.find("put-Ab12Cd"), std::string::npos);
    EXPECT_EQ(page.body.find(".git"), std::string::npos);
    std::regex date_re("[0-9]{2}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-[0-9]{4} [0-9]{2}:[0-9]{2}");
    for (const auto& [name, row] : rows) EXPECT_TRUE(std::regex_match(row.date, date_re)) << name << ": " << row.date;

    // A subfolder's ".." leads back up.
    auto sub = testkit::http_get(server.port(), "/docs/b/");
    EXPECT_EQ(sub.status, 200);
    auto sub_rows = rows_of(sub.body);
    ASSERT_EQ(sub_rows.size(), 1u) << sub.body;
    EXPECT_EQ(sub_rows["../"].href, "/docs/");

    // HEAD gets the same page.
    auto head = get_docs("HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(rows_of(head.body).size(), 4u);
}

TEST(ListingServer, ThousandsOfEntriesComeBackWholeRowByRow) {
    TempDir root;
    std::map<std::string, std::string> names;  // name -> size column
    for (int i = 0; i < 3000; i++) {
        // Names of many lengths, some with characters that need escaping.
        std::string name = "f" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 97), 'x') +
                           (i % 5 == 0 ? "&<q>" : "") + ".txt";
        testkit::write_file(root / ("big/" + name), std::to_string(i));
        names[name] = std::to_string(std::to_string(i).size());
    }
    testkit::ServerProcess server({"-d", root.path()});
    auto got = testkit::curl({"-w", "\n%{http_code}", server.url("/big/")});
    ASSERT_EQ(got.exit_code, 0);
    ASSERT_EQ(got.out.substr(got.out.rfind('\n') + 1), "200");
    std::string body = got.out.substr(0, got.out.rfind('\n'));

    int bad = -1;
    auto rows = rows_of(body, &bad);
    EXPECT_EQ(bad, 0);
    ASSERT_EQ(rows.size(), names.size() + 1);  // and ".."
    for (const auto& [name, size] : names) {
        auto it = rows.find(escaped(name.c_str(), 2048));
        ASSERT_NE(it, rows.end()) << name;
        EXPECT_EQ(it->second.href, "/big/" + encoded(name.c_str()));
        EXPECT_EQ(it->second.size, size) << name;
    }
    EXPECT_EQ(rows.count("../"), 1u);
}

TEST(ListingServer, MarkupInNamesIsEscapedAndLinksWork) {
    TempDir root;
    const std::string name = "a <b> & \"c\".txt";
    testkit::write_file(root / ("we<i>rd & dir/" + name), "odd content\n");
    testkit::ServerProcess server({"-d", root.path()});

    auto page = testkit::curl({server.url("/we%3Ci%3Erd%20%26%20dir/")});
    ASSERT_EQ(page.exit_code, 0);
    EXPECT_NE(page.out.find("<title>Index of /we&lt;i&gt;rd &amp; dir/</title>"), std::string::npos) << page.out;
    EXPECT_EQ(page.out.find("<b>"), std::string::npos);
    EXPECT_EQ(page.out.find("<i>"), std::string::npos);
    auto rows = rows_of(page.out);
    auto it = rows.find("a &lt;b&gt; &amp; &quot;c&quot;.txt");
    ASSERT_NE(it, rows.end()) << page.out;
    EXPECT_EQ(it->second.href, "/we%3Ci%3Erd%20%26%20dir/a%20%3Cb%3E%20%26%20%22c%22.txt");

    auto followed = testkit::curl({server.url(it->second.href)});
    EXPECT_EQ(followed.exit_code, 0);
    EXPECT_EQ(followed.out, "odd content\n");
}

TEST(ListingServer, IndexFilesAndListingSwitchedOff) {
    TempDir root;
    testkit::write_file(root / "site/index.html", "<p>home</p>");
    testkit::write_file(root / "plain/x.txt", "x");
    testkit::write_file(root / "odd/index.html/inner.txt", "inner");
    {
        testkit::ServerProcess server({"-d", root.path()});
        auto index = testkit::http_get(server.port(), "/site/");
        EXPECT_EQ(index.status, 200);
        EXPECT_EQ(index.body, "<p>home</p>");
        EXPECT_EQ(index.headers["content-type"], "text/html");

        // An index name that is a directory is listed; its links go inside it.
        auto odd = testkit::http_get(server.port(), "/odd/");
        EXPECT_EQ(odd.status, 200);
        EXPECT_NE(odd.body.find("Index of /odd/index.html<"), std::string::npos);
        auto rows = rows_of(odd.body);
        ASSERT_EQ(rows.count("inner.txt"), 1u) << odd.body;
        EXPECT_EQ(rows["inner.txt"].href, "/odd/index.html/inner.txt");
        EXPECT_EQ(testkit::http_get(server.port(), rows["inner.txt"].href).body, "inner");
        EXPECT_EQ(rows["../"].href, "/odd/");
    }
    {
        testkit::ServerProcess server({"-d", root.path(), "-D", "0", "-i", "start.html,index.html"});
        server.expect_stderr("/odd/index.html: Denied");
        EXPECT_EQ(testkit::http_get(server.port(), "/site/").body, "<p>home</p>");
        auto denied = testkit::http_get(server.port(), "/plain/");
        EXPECT_EQ(denied.status_line, "HTTP/1.1 403 Forbidden");
        EXPECT_EQ(denied.body, "403 Directory Listing Denied");
        auto odd = testkit::http_get(server.port(), "/odd/");
        EXPECT_EQ(odd.status, 403);
        EXPECT_EQ(odd.body, "403 Directory listing denied");
        EXPECT_NE(server.stderr_text().find(": Denied"), std::string::npos);
    }
    {
        // Only the names given count.
        testkit::ServerProcess server({"-d", root.path(), "-i", "start.html"});
        auto listed = testkit::http_get(server.port(), "/site/");
        EXPECT_EQ(listed.headers["content-type"], "text/html; charset=utf-8");
        EXPECT_EQ(rows_of(listed.body).count("index.html"), 1u);
    }
}
