#pragma once

#include "json/JSONValue.h"

#include <string>
#include <string_view>
#include <utility>

namespace tarnwick {

class JSONDecoder;

// One JSON value kept as its text: checked as strictly as JSONValue::decode checks, and compact
// (no white space between tokens, so never a raw line feed). A value that is only passed on,
// such as a large result on its way from the app-server to a device, travels as this text and is
// written into the outgoing message as it stands, instead of being built into a tree and encoded
// again. The text need not be the one JSONValue would write (an escape may stay an escape, 1.0
// stays 1.0), but it always decodes to the same value.
class JSONText {
public:
    // The text of `null`.
    JSONText() : text_("null") {}
    // The text of an empty object.
    static JSONText emptyObject() { return JSONText(std::string("{}")); }

    // The compact encoding of `value`; fails as JSONValue::encode fails.
    static Expected<JSONText, Error> encode(const JSONValue& value);
    // Checks `text` as JSONValue::decode would and keeps it, white space between tokens removed.
    static Expected<JSONText, Error> fromText(std::string_view text);

    std::string_view text() const { return text_; }
    std::size_t size() const { return text_.size(); }
    // The tree; a checked text always decodes.
    JSONValue value() const;

private:
    friend class JSONDecoder;
    explicit JSONText(std::string text) : text_(std::move(text)) {}

    std::string text_;
};

// Appends `text`, a JSON text already known to be valid (and not inside `out`), without the
// white space between its tokens.
void appendCompactJSON(std::string& out, std::string_view text);
// The same for the one value at the start of `text`, which is valid JSON up to that value's
// end (white space before it is skipped); gives the bytes of `text` it took.
std::size_t appendCompactJSONValue(std::string& out, std::string_view text);

} // namespace tarnwick
