// Members kept as text: for any input, decoding with "params" and "result" kept as text succeeds
// exactly when the plain decoding does, with the same error; the texts are compact, hold no line
// feed and decode to the members the plain tree has; the rest of the tree is the same.
#include "json/JSONDecoder.h"
#include "json/JSONText.h"
#include "support/CompactJSON.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    using tarnwick::testing::hasSpaceBetweenTokens;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    static constexpr std::string_view names[] = {"params", "result"};
    JSONDecoder decoder;
    auto whole = decoder.decode(text);
    std::optional<JSONText> raw[2];
    auto partly = decoder.decode(text, names, raw);
    check(whole.hasValue() == partly.hasValue());
    auto single = JSONText::fromText(text);
    check(single.hasValue() == whole.hasValue());
    if (!whole) {
        check(partly.error().description == whole.error().description);
        check(!raw[0] && !raw[1]);
        return 0;
    }
    check(!hasSpaceBetweenTokens(single->text()));
    check(JSONValue::decode(single->text()).value() == *whole);
    JSONValue rebuilt = *partly;
    for (std::size_t i = 0; i < 2; ++i) {
        const JSONValue* member = whole->member(names[i]);
        check(raw[i].has_value() == (member != nullptr));
        if (!member) {
            continue;
        }
        check(!hasSpaceBetweenTokens(raw[i]->text()));
        check(raw[i]->text().find('\n') == std::string_view::npos);
        auto again = JSONValue::decode(raw[i]->text());
        check(again.hasValue() && *again == *member);
        check(!partly->member(names[i]));
        rebuilt.objectValue()->set(std::string(names[i]), std::move(*again));
    }
    check(rebuilt == *whole);
    return 0;
}
