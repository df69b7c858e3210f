#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Turns the reads of a child's standard error into log text: one read gives at most one log
// line, with terminal control sequences (colours, cursor movement, titles) and other control
// characters removed and the white space around it trimmed. A read that is not UTF-8 gives
// nothing, and neither does one that holds nothing but white space. A character cut in two by
// the end of a read is completed by the next read rather than spoiling both.
class ErrorOutputFilter {
public:
    std::optional<std::string> take(std::string_view bytes);

    // The text without terminal control sequences and control characters (tab and line feed
    // stay; a carriage return that does not end a line becomes a line feed). `text` must be
    // valid UTF-8.
    static std::string withoutControlSequences(std::string_view text);

private:
    std::string carried_;
};

} // namespace tarnwick
