// What a device asks of the thread and turn methods is held to the ceiling whatever its shape:
// nothing over the standard ceiling passes, and what passes checks again unchanged. The same
// text read as an app-server result teaches the thread memory nothing that breaks it.
#include "bridge/CeilingCheck.h"
#include "bridge/LoadedThreads.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

using namespace tarnwick;

// The folders are the file system's own; "/tmp" stands in for the home folder.
const CeilingCheck check(canonicalFolderOnDisk, "/tmp", "/tmp");
const DeviceCeiling ceiling = DeviceCeiling::standard("/tmp");

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto params = JSONValue::decode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!params) {
        return 0;
    }
    for (std::string_view method : {"thread/start", "thread/resume", "turn/start", "turn/steer"}) {
        auto held = check.check(method, *params, ceiling);
        if (!held) {
            continue;
        }
        const JSONValue* sandbox = held->member("sandbox");
        const std::string* mode = sandbox ? sandbox->stringValue() : nullptr;
        if (mode && *mode == "danger-full-access") {
            std::abort();
        }
        // Checked params are within the ceiling as they are.
        auto again = check.check(method, *held, ceiling);
        if (!again || !(*again == *held)) {
            std::abort();
        }
    }
    LoadedThreads threads;
    threads.learnFromResult(*params);
    threads.learnFromTurn(*params);
    return 0;
}
