#include <gtest/gtest.h>

#include "foundation/core/Exception.h"
#include "foundation/runtime/VelURI.h"

TEST(VelURI, ParsesAndPrintsBack) {
    struct Case {
        const char* text;
        VelURI::Protocol protocol;
        const char* host;
        unsigned port;
        const char* path;
        const char* printed;
    };
    const Case cases[] = {
        {"http://h/x", VelURI::kHttp, "h", 80, "/x", "http://h/x"},
        {"http://h:8080/x", VelURI::kHttp, "h", 8080, "/x", "http://h:8080/x"},
        {"http://h:80/x", VelURI::kHttp, "h", 80, "/x", "http://h/x"},
        {"https://h", VelURI::kHttps, "h", 443, "", "https://h"},
        {"https://h:443/", VelURI::kHttps, "h", 443, "/", "https://h/"},
        {"ftp://files.example-1.org/a/b;c:d@e", VelURI::kFtp, "files.example-1.org", 21, "/a/b;c:d@e",
         "ftp://files.example-1.org/a/b;c:d@e"},
        {"http://127.0.0.1:0/x", VelURI::kHttp, "127.0.0.1", 80, "/x", "http://127.0.0.1/x"},
        {"http://h:65535", VelURI::kHttp, "h", 65535, "", "http://h:65535"},
        {"http://h/a%20b?k=%41", VelURI::kHttp, "h", 80, "/a%20b", "http://h/a%20b?k=%41"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const VelURI u(c.text, true);
        EXPECT_EQ(u.GetProtocol(), c.protocol);
        EXPECT_EQ(u.GetHost(), c.host);
        EXPECT_EQ(u.GetPort(), c.port);
        EXPECT_EQ(u.GetPath(), c.path);
        EXPECT_EQ(u.ToString(), c.printed);
    }
}

TEST(VelURI, RejectsWhatDoesNotMatch) {
    for (const char* text : {"", "file://x", "http://", "http:/h", "HTTP://h", "http://h:65536/x", "http://h:80a",
                             "http://h:/x", "http://h:99999999999999999999/", "http://h x", "http://h/a b",
                             "http://h/x?k", "http://h/x?k=v&", "http://h/%4g", "http://h/x#frag", "http://h\\x"}) {
        EXPECT_THROW(VelURI(text, true), Vel::Exception) << text;
    }
}

TEST(VelURI, QueryPairsKeepTheirOrder) {
    const VelURI u("http://h/a?k=v&k2=v2&k=v3", true);
    ASSERT_EQ(u.GetQuery().size(), 3u);
    EXPECT_EQ(u.GetQuery()[0], (std::pair<std::string, std::string>("k", "v")));
    EXPECT_EQ(u.GetQuery()[2], (std::pair<std::string, std::string>("k", "v3")));
    EXPECT_EQ(u.GetPathAndQuery(true), "/a?k=v&k2=v2&k=v3");
    EXPECT_EQ(u.GetPathAndQuery(false), "/a");
    EXPECT_EQ(VelURI("http://h?a=", true).GetPathAndQuery(true), "/?a=");
    EXPECT_EQ(VelURI().ToString(), "");
    EXPECT_EQ(VelURI().GetPort(), 0);
}

TEST(VelURI, AppendPathJoinsWithSlash) {
    struct Case {
        const char* base;
        const char* element;
        const char* object;
    };
    const Case cases[] = {
        {"http://h", "download_servers.xml", "/download_servers.xml"},
        {"http://h/", "download_servers.xml", "/download_servers.xml"},
        {"http://h/a", "download_servers.xml", "/a/download_servers.xml"},
        {"http://h/a/", "/b", "/a/b"},
        {"http://h/a", "client_files\\data\\x.zip", "/a/client_files/data/x.zip"},
        {"http://h/a", "", "/a"},
        // An element is a raw name: what the path grammar does not allow is escaped, "%" too.
        {"http://h/a", "data/sub dir/new file.bin", "/a/data/sub%20dir/new%20file.bin"},
        {"http://h/a", "x%41.bin", "/a/x%2541.bin"},
        {"http://h/a", "q?k=v#frag", "/a/q%3Fk%3Dv%23frag"},
        {"http://h/a", "x&y~z", "/a/x%26y%7Ez"},
        {"http://h/a", "caf\xC3\xA9\\b c", "/a/caf%C3%A9/b%20c"},
        {"http://h/a", "keep-._!$'()*+,;:@", "/a/keep-._!$'()*+,;:@"},
    };
    for (const auto& c : cases) {
        VelURI u(c.base, true);
        u.AppendPath(c.element);
        EXPECT_EQ(u.GetPathAndQuery(false), c.object) << c.base << " + " << c.element;
        EXPECT_NO_THROW(VelURI(u.ToString(), true)) << u.ToString();
    }
}

TEST(VelURI, AppendedElementsSurviveToStringAndParsing) {
    // Every byte but the separators, standing in an element, must come back from the printed
    // URL as itself once the path is decoded.
    auto decode = [](const std::string& s) {
        std::string out;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '%' && i + 2 < s.size()) {
                out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += s[i];
            }
        }
        return out;
    };
    for (int b = 1; b < 256; ++b) {
        if (b == '/' || b == '\\') continue;
        const std::string element = std::string("a") + static_cast<char>(b) + "b";
        VelURI u("http://h:8080/base?k=v", true);
        u.AppendPath(element);
        SCOPED_TRACE(b);
        VelURI back;
        ASSERT_NO_THROW(back = VelURI(u.ToString(), true)) << u.ToString();
        EXPECT_EQ(back.GetPath(), u.GetPath());
        EXPECT_EQ(back.GetQueryText(), "?k=v");
        EXPECT_EQ(decode(back.GetPath()), "/base/" + element);
        EXPECT_EQ(EscapePathElement(element), back.GetPath().substr(6));
    }
    EXPECT_EQ(EscapePathElement("a/b\\c"), "a%2Fb%5Cc");  // one element: separators are escaped too
    EXPECT_EQ(EscapePathElement(""), "");
}
