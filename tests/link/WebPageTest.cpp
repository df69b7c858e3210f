// The page a phone's browser loads from the link's port, over real TLS on loopback: what is
// served with which headers, how long a connection lives, and the requests and upgrades it
// refuses (foreign names, other sites' pages, paths outside the table).
#include "LinkTestSupport.h"
#include "link/WebAnswer.h"
#include "link/WebContent.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <tuple>

using namespace tarnwick;
using namespace tarnwick::test;

namespace {

const std::map<std::string, std::string> pageFiles{
    {"index.html", "<script type=\"module\" src=\"/assets/{{build}}/main.js\"></script>"},
    {"main.js", "import './lib/view.js';"},
    {"lib/view.js", "export const v = 1;"},
    {"app.css", "body{}"},
    {"manifest.webmanifest", "{\"name\":\"Tarnwick\"}"},
    {"icon.svg", "<svg/>"},
    {"sw.js", "const build = \"{{build}}\";"},
    {"notes.txt", "not served"},
};

LinkHostOptions pageOptions() {
    LinkHostOptions options = loopbackOptions();
    options.webContent = std::make_shared<const WebContent>(WebContent::assemble(pageFiles));
    return options;
}

// The host serving the page, with its recorder (LinkRig); RawDevice stands for the browser.
struct WebHost : LinkRig {
    WebHost() : LinkRig(pageOptions()) {}
    QByteArray assetPath(const char* name) const { return "/assets/" + build() + "/" + name; }
    static QByteArray build() {
        return QByteArray::fromStdString(WebContent::assemble(pageFiles).build());
    }
};

} // namespace

TEST(WebPage, IsServedWithItsBuildAndHeaders) {
    std::vector<std::string> skipped;
    const WebContent content = WebContent::assemble(pageFiles, &skipped);
    EXPECT_EQ(skipped, std::vector<std::string>{"notes.txt"});
    EXPECT_TRUE(std::regex_match(content.build(), std::regex("[0-9a-f]{16}"))) << content.build();
    // The build follows every byte of every file, and nothing else.
    auto changed = pageFiles;
    changed["lib/view.js"] += " ";
    EXPECT_NE(WebContent::assemble(changed).build(), content.build());
    EXPECT_EQ(WebContent::assemble(pageFiles).build(), content.build());

    WebHost host;
    RawDevice browser(host.port());
    const HttpAnswer page = browser.get("/");
    EXPECT_EQ(page.status, 200);
    const std::string csp = "default-src 'none'; script-src 'self'; style-src 'self'; "
                            "img-src 'self' data:; manifest-src 'self'; connect-src 'self' "
                            "wss://127.0.0.1; base-uri 'none'; form-action 'none'; "
                            "frame-ancestors 'none'";
    const std::string index =
        "<script type=\"module\" src=\"/assets/" + content.build() + "/main.js\"></script>";
    EXPECT_EQ(page.headers, (std::map<std::string, std::string>{
                                {"content-type", "text/html; charset=utf-8"},
                                {"content-length", std::to_string(index.size())},
                                {"cache-control", "no-store"},
                                {"x-content-type-options", "nosniff"},
                                {"referrer-policy", "no-referrer"},
                                {"cross-origin-opener-policy", "same-origin"},
                                {"content-security-policy", csp},
                                {"x-frame-options", "DENY"},
                            }));
    EXPECT_EQ(page.body.toStdString(), index);

    // Assets, also in folders, under the build for good; stable names asked again.
    const std::string js = "text/javascript; charset=utf-8",
                      forGood = "public, max-age=31536000, immutable";
    const std::tuple<QByteArray, std::string, std::string, std::string> files[] = {
        {host.assetPath("main.js"), js, forGood, pageFiles.at("main.js")},
        {host.assetPath("lib/view.js"), js, forGood, pageFiles.at("lib/view.js")},
        {host.assetPath("app.css"), "text/css; charset=utf-8", forGood, pageFiles.at("app.css")},
        {"/manifest.webmanifest", "application/manifest+json", "no-cache",
         pageFiles.at("manifest.webmanifest")},
        {"/icon.svg", "image/svg+xml", "no-cache", pageFiles.at("icon.svg")},
        // The service worker at the top, for its scope, naming its build; the trust step's
        // address is the page.
        {"/sw.js", js, "no-cache", "const build = \"" + content.build() + "\";"},
        {"/trust", "text/html; charset=utf-8", "no-store", index},
    };
    for (const auto& [path, type, caching, body] : files) {
        SCOPED_TRACE(path.toStdString());
        const HttpAnswer answer = browser.get(path);
        EXPECT_EQ(answer.status, 200);
        EXPECT_EQ(answer.header("content-type"), type);
        EXPECT_EQ(answer.header("cache-control"), caching);
        EXPECT_EQ(answer.body.toStdString(), body);
    }
    // HEAD: the same header, no body (the next answer starts right after it).
    browser.send("HEAD / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(browser.next(true).header("content-length"), std::to_string(index.size()));
    EXPECT_EQ(browser.get("/icon.svg").body.toStdString(), "<svg/>");
}

TEST(WebPage, OneConnectionCarriesUpTo32RequestsOrUntilTheBrowserSaysClose) {
    WebHost host;
    {
        RawDevice browser(host.port());
        // Eight requests at once: answered in order, one after the other.
        browser.send(QByteArray("GET /icon.svg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").repeated(8));
        for (int i = 1; i <= 32; ++i) {
            SCOPED_TRACE(i);
            const HttpAnswer answer = i <= 8 ? browser.next() : browser.get("/icon.svg");
            EXPECT_EQ(answer.status, 200);
            EXPECT_EQ(answer.headers.contains("connection"), i == 32);
        }
        EXPECT_TRUE(browser.waitForClose());
    }
    RawDevice browser(host.port());
    const HttpAnswer last = browser.get("/", "Connection: close\r\n");
    EXPECT_EQ(last.status, 200);
    EXPECT_EQ(last.header("connection"), "close");
    EXPECT_TRUE(browser.waitForClose());
}

// Each row reaches a refusal of its own; what the parsers refuse and which names and origins
// count as this computer's are tested whole in InvitationRequestTest and HostNamesMatch... below.
TEST(WebPage, RequestsOutsideTheTableOrUnderForeignNamesAreRefusedAndClosed) {
    WebHost host;
    const QByteArray port = QByteArray::number(host.port());
    const QByteArray build = WebHost::build();
    const auto request = [](const QByteArray& method, const QByteArray& target,
                            const QByteArray& headers = "Host: 127.0.0.1\r\n") {
        return method + " " + target + " HTTP/1.1\r\n" + headers + "\r\n";
    };
    const struct {
        const char* what;
        QByteArray request;
        int status;
    } cases[] = {
        {"an unknown path", request("GET", "/secret"), 404},
        {"index.html by name", request("GET", "/index.html"), 404},
        {"a folder of assets", request("GET", "/assets/" + build + "/lib"), 404},
        {"another build", request("GET", "/assets/0123456789abcdef/main.js"), 404},
        {"a walk up", request("GET", "/assets/" + build + "/lib/../main.js"), 404},
        {"an escaped dot", request("GET", "/assets/" + build + "/lib/%2e%2e/main.js"), 404},
        {"a query", request("GET", "/assets/" + build + "/main.js?v=1"), 404},
        {"a double slash", request("GET", "/assets//" + build + "/main.js"), 404},
        {"a backslash", request("GET", "/assets/" + build + "\\main.js"), 404},
        {"a file not served", request("GET", "/assets/" + build + "/notes.txt"), 404},
        {"POST", request("POST", "/", "Host: 127.0.0.1\r\nContent-Length: 0\r\n"), 405},
        {"a body", request("GET", "/", "Host: 127.0.0.1\r\nContent-Length: 5\r\n") + "hello", 400},
        {"chunks", request("GET", "/", "Host: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n"), 400},
        {"a header that never ends", "GET / HTTP/1.1\r\nX: " + QByteArray(20000, 'a'), 400},
        {"an upgrade whose name has a control character",
         RawDevice::upgradeRequest("/session?peer=a%C2%85"), 400},
        {"an upgrade with two Origins",
         RawDevice::upgradeRequest("/session?peer=P",
                                   "Origin: https://127.0.0.1\r\nOrigin: https://127.0.0.1\r\n"),
         400},
        {"a foreign name", request("GET", "/", "Host: attacker.example:" + port + "\r\n"), 421},
        {"an upgrade under a foreign name",
         QByteArray(RawDevice::upgradeRequest("/session?peer=P"))
             .replace("Host: 127.0.0.1", "Host: rebound.example"),
         421},
        {"an upgrade from another site's page",
         RawDevice::upgradeRequest("/session?peer=P", "Origin: https://attacker.example\r\n"), 403},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RawDevice browser(host.port());
        browser.send(c.request);
        const HttpAnswer answer = browser.next();
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(answer.header("connection"), "close");
        EXPECT_EQ(answer.header("content-type"), "text/plain; charset=utf-8");
        // The rest of every refusal is invitationRefusal (InvitationRefusal tests it whole).
        if (c.status == 405) {
            EXPECT_EQ(answer.header("allow"), "GET, HEAD");
        }
        EXPECT_TRUE(browser.waitForClose());
    }
    // Names this computer has are answered, any case, with or without the port.
    for (const QByteArray& name : {QByteArray("LOCALHOST"), QByteArray("[::1]:") + port}) {
        SCOPED_TRACE(name.toStdString());
        RawDevice browser(host.port());
        browser.send("GET /icon.svg HTTP/1.1\r\nHost: " + name + "\r\n\r\n");
        EXPECT_EQ(browser.next().status, 200);
    }
    EXPECT_TRUE(host.host.events.empty());
    EXPECT_TRUE(waitUntil([&] { return host.link->pendingCount() == 0; }));
}

TEST(WebPage, HostNamesMatchExactlyWithTheListeningPortOnly) {
    const HostNames names({"localhost", "studio", "studio.example.lan", "studio.local"},
                          {"127.0.0.1", "192.168.1.20", "fe80::1", "::1"}, 47601);
    for (const char* host : {"studio", "Studio.Local", "studio.example.lan:47601", "192.168.1.20",
                             "[fe80::1]:47601", "[FE80::1]", "[::1]", "localhost:47601"}) {
        EXPECT_TRUE(names.answersTo(host)) << host;
    }
    for (const char* host :
         {"", "studio:47600", "studio:", "studio:047601", "studio.example", "evil.studio.local",
          "192.168.1.2", "fe80::1", "[fe80::1", "[fe80::1]x", "[fe80::1]:1", "[::1%lo]x",
          "studio%lo", "::1", "studio.", "user@studio", "studio:47601:47601"}) {
        EXPECT_FALSE(names.answersTo(host)) << host;
    }
    EXPECT_TRUE(isOwnOrigin("https://studio.local:47601", "Studio.local:47601"));
    EXPECT_TRUE(isOwnOrigin("HTTPS://STUDIO.LOCAL", "studio.local"));
    for (const char* origin : {"http://studio.local", "https://studio.local:1", "null", "",
                               "https://studio.local.evil", "https://studio.local/"}) {
        EXPECT_FALSE(isOwnOrigin(origin, "studio.local")) << origin;
    }
}

TEST(WebPage, UpgradesFromItsOwnPageAreAdmittedBesideTheBrowsersConnections) {
    WebHost host;
    // The bridge's own page (the Host is "127.0.0.1"), on the connection that loaded it.
    RawDevice own(host.port());
    EXPECT_EQ(own.get("/").status, 200);
    own.send(RawDevice::upgradeRequest("/session?peer=Page",
                                       "Origin: HTTPS://127.0.0.1\r\n"
                                       "Sec-WebSocket-Protocol: tarnwick.v2\r\n"));
    const HttpAnswer upgraded = own.next(true);
    EXPECT_EQ(upgraded.status, 101);
    EXPECT_EQ(upgraded.header("sec-websocket-protocol"), "tarnwick.v2");
    ASSERT_TRUE(waitUntil([&] { return host.host.connected.size() == 1; }));
    EXPECT_EQ(host.host.connected.front()->displayName(), "Page");

    // A browser loading the page fits in its address's places: about six connections at once, each
    // kept open for more, then the session beside them.
    std::vector<std::unique_ptr<RawDevice>> connections;
    for (int i = 0; i < 6; ++i) {
        connections.push_back(std::make_unique<RawDevice>(host.port()));
        EXPECT_EQ(connections.back()->get("/").status, 200);
    }
    TestDevice session;
    EXPECT_TRUE(host.connect(session, "Phone"));
    for (auto& connection : connections) {
        EXPECT_EQ(connection->get("/icon.svg").status, 200);
    }
}
