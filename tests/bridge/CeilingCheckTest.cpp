// The ceiling on what a device may ask Codex to do, against real folders and links: every
// setting over it refused, every one under it passed as it came, missing ones filled in.

#include "bridge/CeilingCheck.h"

#include "support/TemporaryHome.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace tarnwick;
using tarnwick::testing::TemporaryDirectory;

namespace {

namespace fs = std::filesystem;

// Replaces every ROOT and OUT in a JSON text with the folders of the test.
JSONValue json(std::string text, const std::string& root, const std::string& out) {
    for (auto [mark, folder] : {std::pair{"ROOT", root}, std::pair{"OUT", out}}) {
        for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark)) {
            text.replace(at, std::string_view(mark).size(), folder);
        }
    }
    return JSONValue::decode(text).value();
}

class CeilingCheckTest : public ::testing::Test {
protected:
    CeilingCheckTest() {
        // ROOT (the home) holds work/, .ssh/, a link out of it, a link into its dot-folder and
        // a link that stays inside; OUT is a folder beside it.
        fs::create_directories(root() + "/work/deep");
        fs::create_directories(root() + "/.ssh");
        fs::create_directories(out());
        fs::create_directory_symlink(out(), root() + "/work/out-link");
        fs::create_directory_symlink(root() + "/.ssh", root() + "/work/ssh-link");
        fs::create_directory_symlink(root() + "/work/deep", root() + "/deep-link");
    }
    std::string root() const { return fs::canonical(top.path()).string() + "/home"; }
    std::string out() const { return fs::canonical(top.path()).string() + "/elsewhere"; }
    // Codex works in ROOT/work unless told otherwise; ROOT is the person's home.
    CeilingCheck check(std::string codexFolder = "") const {
        return CeilingCheck(canonicalFolderOnDisk,
                            codexFolder.empty() ? root() + "/work" : codexFolder, root());
    }
    TemporaryDirectory top{"tarnwick-ceiling"};
};

// The network setting that every thread gets while the ceiling keeps the network off.
constexpr const char* noNetwork =
    R"("config":{"sandbox_workspace_write":{"network_access":false}})";

TEST_F(CeilingCheckTest, EachSettingOverTheCeilingIsRefusedByName) {
    struct Case {
        const char* method;
        const char* params;
        const char* setting;
    };
    const Case cases[] = {
        {"thread/start", R"({"sandbox":"danger-full-access"})", "sandbox"},
        {"thread/resume", R"({"threadId":"t","sandbox":"danger-full-access"})", "sandbox"},
        {"thread/start", R"({"sandbox":"Workspace-Write"})", "sandbox"},
        {"thread/start", R"({"sandbox":1})", "sandbox"},
        {"thread/start", R"({"approvalPolicy":"never"})", "approvalPolicy"},
        {"turn/start", R"({"threadId":"t","input":[],"approvalPolicy":"never"})", "approvalPolicy"},
        {"thread/start",
         R"({"approvalPolicy":{"granular":{"mcp_elicitations":false,"rules":false,"sandbox_approval":false}}})",
         "approvalPolicy"},
        {"thread/start", R"({"approvalsReviewer":"auto_review"})", "approvalsReviewer"},
        {"thread/start", R"({"cwd":"/"})", "cwd"},
        {"thread/start", R"({"cwd":"ROOT"})", "cwd"},
        {"thread/start", R"({"cwd":"ROOT/work/.."})", "cwd"},
        {"thread/start", R"({"cwd":"OUT"})", "cwd"},
        {"thread/start", R"({"cwd":"ROOT/.ssh"})", "cwd"},
        {"thread/start", R"({"cwd":"ROOT/work/../.ssh"})", "cwd"},
        {"thread/start", R"({"cwd":"ROOT/work/out-link"})", "cwd"},
        {"thread/start", R"({"cwd":"ROOT/work/ssh-link"})", "cwd"},
        {"thread/start", R"({"cwd":"ROOT/missing"})", "cwd"},
        {"thread/start", R"({"cwd":"work"})", "cwd"},
        {"thread/resume", R"({"threadId":"t","cwd":"OUT"})", "cwd"},
        {"turn/start", R"({"threadId":"t","input":[],"cwd":"OUT"})", "cwd"},
        {"turn/start", R"({"threadId":"t","input":[],"sandboxPolicy":{"type":"dangerFullAccess"}})",
         "sandboxPolicy"},
        {"turn/start", R"({"threadId":"t","input":[],"sandboxPolicy":{"type":"externalSandbox"}})",
         "sandboxPolicy"},
        {"turn/start", R"({"threadId":"t","input":[],"sandboxPolicy":{"type":"other"}})",
         "sandboxPolicy"},
        {"turn/start",
         R"({"threadId":"t","input":[],"sandboxPolicy":{"type":"workspaceWrite","networkAccess":true}})",
         "sandboxPolicy.networkAccess"},
        {"turn/start",
         R"({"threadId":"t","input":[],"sandboxPolicy":{"type":"readOnly","networkAccess":true}})",
         "sandboxPolicy.networkAccess"},
        {"turn/start",
         R"({"threadId":"t","input":[],"sandboxPolicy":{"type":"workspaceWrite","writableRoots":["ROOT/work","OUT"]}})",
         "sandboxPolicy.writableRoots"},
        {"turn/start",
         R"({"threadId":"t","input":[],"sandboxPolicy":{"type":"workspaceWrite","readOnlyAccess":{}}})",
         "sandboxPolicy.readOnlyAccess"},
        // Doors Codex has besides the named settings: any configuration key, permission
        // profiles, extra roots, another rollout, and members it does not know yet.
        {"thread/start", R"({"config":{"model":"o3"}})", "config"},
        {"thread/resume", R"({"threadId":"t","config":{"sandbox_mode":"danger-full-access"}})",
         "config"},
        {"thread/start", R"({"permissions":"full"})", "permissions"},
        {"turn/start", R"({"threadId":"t","input":[],"runtimeWorkspaceRoots":["/"]})",
         "runtimeWorkspaceRoots"},
        {"thread/start", R"({"environments":[]})", "environments"},
        {"thread/resume", R"({"threadId":"t","path":"/tmp/rollout.jsonl"})", "path"},
        {"thread/start", R"({"dynamicTools":[]})", "dynamicTools"},
        {"turn/steer", R"({"threadId":"t","input":[],"expectedTurnId":"u","cwd":"/"})", "cwd"},
        {"thread/start", R"({"profile":"wide"})", "profile"},
        {"thread/start", "[]", "params"},
    };
    const DeviceCeiling ceiling = DeviceCeiling::standard(root());
    for (const Case& c : cases) {
        auto checked = check().check(c.method, json(c.params, root(), out()), ceiling);
        ASSERT_FALSE(checked) << c.method << " " << c.params;
        EXPECT_EQ(checked.error().setting, c.setting) << c.params;
        EXPECT_FALSE(checked.error().reason.empty());
    }
    auto sandbox = check().check("thread/start", json(cases[0].params, "", ""), ceiling);
    EXPECT_EQ(sandbox.error().reason,
              "This computer allows devices at most the workspace-write sandbox.");
    EXPECT_EQ(sandbox.error().asked, "\"danger-full-access\"");
}

TEST_F(CeilingCheckTest, WithinTheCeilingParamsPassAsTheyCameAndMissingOnesAreFilledIn) {
    DeviceCeiling wide{SandboxLevel::dangerFullAccess, true, true, {"/"}};
    DeviceCeiling readOnly{SandboxLevel::readOnly, false, false, {}};
    readOnly.roots = {out() + "/missing", root() + "/work/deep"};
    struct Case {
        const char* method;
        const char* params;
        std::string expected; // empty: as it came
        DeviceCeiling ceiling;
    };
    const DeviceCeiling standard = DeviceCeiling::standard(root());
    const std::string full = R"("approvalPolicy":"on-request","sandbox":"workspace-write",)";
    const Case cases[] = {
        // A thread that says nothing gets the ceiling's settings in Codex's own folder.
        {"thread/start", "{}", "{" + full + noNetwork + "}", standard},
        // Under a read-only ceiling the home folder itself is a working folder too.
        {"thread/start", R"({"cwd":"ROOT/"})",
         R"({"cwd":"ROOT","approvalPolicy":"on-request","sandbox":"read-only",)" +
             std::string(noNetwork) + "}",
         DeviceCeiling{SandboxLevel::readOnly, false, false, {root()}}},
        {"thread/start",
         R"({"cwd":"ROOT/work","sandbox":"read-only","approvalPolicy":"untrusted","model":"m"})",
         R"({"cwd":"ROOT/work","sandbox":"read-only","approvalPolicy":"untrusted","model":"m",)" +
             std::string(noNetwork) + "}",
         standard},
        // A link that stays inside the roots is followed to where it leads.
        {"thread/start", R"({"cwd":"ROOT/deep-link","sandbox":null})",
         R"({"cwd":"ROOT/work/deep",)" + full + noNetwork + "}", standard},
        {"thread/resume", R"({"threadId":"t"})", R"({"threadId":"t",)" + full + noNetwork + "}",
         standard},
        {"thread/start", R"({"cwd":"/","sandbox":"danger-full-access","approvalPolicy":"never"})",
         "", wide},
        {"turn/start",
         R"({"threadId":"t","input":[],"cwd":"ROOT/work","sandboxPolicy":{"type":"workspaceWrite","writableRoots":["ROOT/work/deep"],"excludeSlashTmp":true,"networkAccess":false},"effort":"low"})",
         "", standard},
        {"turn/start", R"({"threadId":"t","input":[{"type":"text","text":"hi"}]})", "", readOnly},
        {"turn/steer", R"({"threadId":"t","input":[],"expectedTurnId":"u"})", "", readOnly},
        // Codex's folder outside the roots: the first root instead.
        {"thread/start", R"({"model":null})",
         R"({"cwd":"ROOT/work/deep","model":null,"approvalPolicy":"on-request","sandbox":"read-only",)" +
             std::string(noNetwork) + "}",
         readOnly},
    };
    for (const Case& c : cases) {
        auto checked = check().check(c.method, json(c.params, root(), out()), c.ceiling);
        ASSERT_TRUE(checked) << c.params << ": " << checked.error().reason;
        EXPECT_EQ(*checked, json(c.expected.empty() ? c.params : c.expected, root(), out()))
            << c.params;
        // What the check sends on passes it again unchanged.
        auto again = check().check(c.method, *checked, c.ceiling);
        ASSERT_TRUE(again) << c.params << ": " << again.error().reason;
        EXPECT_EQ(*again, *checked) << c.params;
    }
    // Methods that carry no such settings are not looked at.
    EXPECT_EQ(*check().check("thread/list", JSONValue(JSONObject{{"config", 1}}), readOnly),
              JSONValue(JSONObject{{"config", 1}}));
    // No folder of the ceiling to fall back on: the device must name one.
    auto noFolder =
        check("/").check("thread/start", JSONValue(JSONObject{}),
                         DeviceCeiling{SandboxLevel::readOnly, false, false, {out() + "/x"}});
    ASSERT_FALSE(noFolder);
    EXPECT_EQ(noFolder.error().setting, "cwd");
}

TEST(DeviceCeilingTest, ADevicesOwnCeilingNeverRisesAboveTheOneForEveryDevice) {
    CeilingBook book{DeviceCeiling::standard("/home/alice"), {}};
    book.devices["tablet"] =
        DeviceCeiling{SandboxLevel::readOnly, false, false, {"/home/alice/docs"}};
    book.devices["wide"] = DeviceCeiling{
        SandboxLevel::dangerFullAccess, true, true, {"/", "/home/alice/src", "/home/al"}};
    EXPECT_EQ(book.effectiveFor("phone"), book.everyDevice);
    EXPECT_EQ(book.effectiveFor("tablet"), book.devices["tablet"]);
    EXPECT_EQ(book.effectiveFor("wide"),
              (DeviceCeiling{SandboxLevel::workspaceWrite, false, false, {"/home/alice/src"}}));
    EXPECT_EQ(
        book.effectiveFor("tablet").toJSON().encode().value(),
        R"({"approvalNever":false,"networkAccess":false,"roots":["\/home\/alice\/docs"],"sandbox":"read-only"})");
}

} // namespace
