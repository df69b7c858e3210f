#pragma once

#include "json/JSONValue.h"

#include <memory>
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

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace tarnwick
