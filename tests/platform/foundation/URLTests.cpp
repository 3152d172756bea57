// URL parsing, components and percent-encoding.
#include <gtest/gtest.h>

#include "platform/foundation/URL.h"
#include "platform/foundation/URLComponents.h"
#include "support/TestSupport.h"

using platform::URL;
using platform::URLComponents;

TEST(URLTests, ParsesEveryPart) {
    auto url = URL::parse("https://u:p@example.com:8443/a/b%20c?x=1&y=2#frag");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), "https");
    EXPECT_EQ(url->user(), "u");
    EXPECT_EQ(url->password(), "p");
    EXPECT_EQ(url->host(), "example.com");
    EXPECT_EQ(url->port(), 8443);
    EXPECT_EQ(url->path(), "/a/b%20c");
    EXPECT_EQ(url->query(), "x=1&y=2");
    EXPECT_EQ(url->fragment(), "frag");

    auto v6 = URL::parse("http://[::1]:80/logs");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host(), "::1");
    EXPECT_EQ(v6->port(), 80);

    auto relative = URL::parse("/logs?api-version=1.0.0");
    ASSERT_TRUE(relative);
    EXPECT_FALSE(relative->scheme());
    EXPECT_EQ(relative->path(), "/logs");
}

TEST(URLTests, RefusesWhatTheGrammarForbids) {
    for (const char *text : {"http://a b/", "http://host/a b", "http://host/%zz", "http://host/%4", "http://host/<x>",
                             "http://host/\"", "http://host/{x}", "http://host/|", "http://host/\\", "http://host/^",
                             "http://host/`", "http://host:8x/", "http://host:99999/", "1http://host/",
                             "http://host/\xc3\xa9", "http://host/\n", "http://[zz]/", "http://[::1/"}) {
        EXPECT_FALSE(URL::parse(text)) << text;
    }
}

TEST(URLTests, PercentEncodingSetsMatchPython) {
    // No single quote in the sample, so that the shell can carry it.
    const std::string sample = "a b?c#d%e&f=g+h/\xc3\xa9~!$()*,;:@[]\x01";
    auto quote = [&](const std::string &safe) {
        return testsupport::runCommand(
            "python3 -c 'import urllib.parse,sys; sys.stdout.write(urllib.parse.quote(sys.argv[1].encode(\"utf-8\", "
            "\"surrogateescape\"), safe=sys.argv[2]))' '" +
            sample + "' '" + safe + "'");
    };
    EXPECT_EQ(platform::addingPercentEncoding(sample, platform::kURLPathAllowedCharacters), quote("!$&()*+,-./:;=@_~"));
    EXPECT_EQ(platform::addingPercentEncoding(sample, platform::kURLQueryAllowedCharacters),
              quote("!$&()*+,-./:;=?@_~"));
}

TEST(URLTests, FileURLEncodesThePathSoSQLiteOpensTheNamedFile) {
    auto url = URL::fileURLWithPath("/home/u/a b?c#d%e/Logs.sqlite");
    EXPECT_EQ(url.absoluteString(), "file:///home/u/a%20b%3Fc%23d%25e/Logs.sqlite");
    EXPECT_TRUE(url.isFileURL());
    EXPECT_TRUE(URL::parse(url.absoluteString()));
}

TEST(URLTests, ComponentsReplacePartsAndRefuseARelativePathWithAHost) {
    auto url = URL::parse("https://old.example.com/logs?api-version=1.0.0");
    ASSERT_TRUE(url);
    URLComponents components(*url);
    components.setScheme("http");
    components.setHost("127.0.0.1");
    components.setPort(8080);
    auto changed = components.url();
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->absoluteString(), "http://127.0.0.1:8080/logs?api-version=1.0.0");

    components.setPath("relative");
    EXPECT_FALSE(components.url());
    components.setPath("");
    EXPECT_TRUE(components.url());
}
