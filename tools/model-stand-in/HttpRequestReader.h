#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// One HTTP/1.1 request as it came in. Header names are lower-case.
struct HttpRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;
    std::string body;

    const std::string* header(const std::string& lowerCaseName) const;
};

// Cuts HTTP/1.1 requests out of the bytes of one connection, however they are split: a body
// comes with Content-Length or in chunks. Anything it cannot read for sure ends the connection
// with an error, since after that no request boundary can be trusted.
class HttpRequestReader {
public:
    static constexpr std::size_t maximumHeaderBytes = 64 * 1024;
    static constexpr std::size_t maximumBodyBytes = 64 * 1024 * 1024;

    void append(std::string_view bytes);
    // The next whole request, if one has arrived.
    std::optional<HttpRequest> next();
    // Why the connection cannot be read any further; empty while it can.
    const std::string& error() const { return error_; }

private:
    bool readHead();
    bool readBody();
    bool readChunks();
    void fail(std::string why);

    std::string buffer_;
    std::optional<HttpRequest> current_;
    std::size_t bodyLength_ = 0;
    bool chunked_ = false;
    std::string error_;
};

} // namespace tarnwick
