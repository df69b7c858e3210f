#pragma once

#include "json/JSONText.h"
#include "json/JSONValue.h"

#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace tarnwick {

// Decodes JSON texts into JSONValue trees. Keeping one decoder for many texts (one line after
// another, say) reuses its working memory. Not for use from two threads at once.
class JSONDecoder {
public:
    JSONDecoder();
    ~JSONDecoder();
    JSONDecoder(const JSONDecoder&) = delete;
    JSONDecoder& operator=(const JSONDecoder&) = delete;

    Expected<JSONValue, Error> decode(std::string_view text);
    // Decodes like decode, but when the text is an object, its members named in `rawNames` are
    // only checked, not built: each comes out in the same place of `rawValues` as its text (the
    // last one when a name repeats, nothing when it is absent) and is left out of the tree.
    // `rawValues` is as long as `rawNames`; on failure every place is empty.
    Expected<JSONValue, Error> decode(std::string_view text,
                                      std::span<const std::string_view> rawNames,
                                      std::span<std::optional<JSONText>> rawValues);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace tarnwick
