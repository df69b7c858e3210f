#pragma once

#include <string>

namespace tarnwick {

// A failure that is only its human-readable description: the text that log lines, status lines
// and error messages to devices show. Failures that carry more (a status code, an errno, an
// app-server case) have types of their own.
struct Error {
    std::string description;

    friend bool operator==(const Error&, const Error&) = default;
};

} // namespace tarnwick
