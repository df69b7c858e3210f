#include "HttpRequestReader.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace tarnwick {

namespace {

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// A whole unsigned number in `base`, or nothing.
std::optional<std::size_t> numberIn(std::string_view text, int base) {
    std::size_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

} // namespace

const std::string* HttpRequest::header(const std::string& lowerCaseName) const {
    auto found = headers.find(lowerCaseName);
    return found == headers.end() ? nullptr : &found->second;
}

void HttpRequestReader::append(std::string_view bytes) {
    if (error_.empty()) {
        buffer_.append(bytes);
    }
}

std::optional<HttpRequest> HttpRequestReader::next() {
    if (!error_.empty()) {
        return std::nullopt;
    }
    if (!current_ && !readHead()) {
        return std::nullopt;
    }
    if (!(chunked_ ? readChunks() : readBody())) {
        return std::nullopt;
    }
    std::optional<HttpRequest> done = std::move(current_);
    current_.reset();
    return done;
}

bool HttpRequestReader::readHead() {
    const std::size_t end = buffer_.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (buffer_.size() > maximumHeaderBytes) {
            fail("The request's header is too long.");
        }
        return false;
    }
    if (end > maximumHeaderBytes) {
        fail("The request's header is too long.");
        return false;
    }
    std::string_view head(buffer_.data(), end);
    HttpRequest request;
    std::size_t lineEnd = head.find("\r\n");
    std::string_view requestLine = head.substr(0, lineEnd);
    const std::size_t firstSpace = requestLine.find(' ');
    const std::size_t secondSpace = requestLine.rfind(' ');
    if (firstSpace == std::string_view::npos || secondSpace == firstSpace ||
        requestLine.substr(secondSpace + 1).rfind("HTTP/1.", 0) != 0) {
        fail("The request line is not HTTP/1.x.");
        return false;
    }
    request.method = std::string(requestLine.substr(0, firstSpace));
    request.target = std::string(requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1));
    while (lineEnd != std::string_view::npos) {
        const std::size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        std::string_view line = head.substr(
            start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            fail("A header line has no name.");
            return false;
        }
        request.headers[lowerCase(std::string(trimmed(line.substr(0, colon))))] =
            std::string(trimmed(line.substr(colon + 1)));
    }
    buffer_.erase(0, end + 4);

    chunked_ = false;
    bodyLength_ = 0;
    if (const std::string* encoding = request.header("transfer-encoding")) {
        if (lowerCase(*encoding) != "chunked") {
            fail("Transfer encoding \"" + *encoding + "\" is not supported.");
            return false;
        }
        chunked_ = true;
    } else if (const std::string* length = request.header("content-length")) {
        auto value = numberIn(*length, 10);
        if (!value || *value > maximumBodyBytes) {
            fail("The Content-Length \"" + *length + "\" cannot be taken.");
            return false;
        }
        bodyLength_ = *value;
    }
    current_ = std::move(request);
    return true;
}

bool HttpRequestReader::readBody() {
    if (buffer_.size() < bodyLength_) {
        return false;
    }
    current_->body = buffer_.substr(0, bodyLength_);
    buffer_.erase(0, bodyLength_);
    return true;
}

bool HttpRequestReader::readChunks() {
    // Each pass takes one whole chunk off the buffer into the body.
    for (;;) {
        const std::size_t sizeEnd = buffer_.find("\r\n");
        if (sizeEnd == std::string::npos) {
            if (buffer_.size() > 1024) {
                fail("A chunk size line is too long.");
            }
            return false;
        }
        std::string_view sizeLine(buffer_.data(), sizeEnd);
        sizeLine = sizeLine.substr(0, sizeLine.find(';'));
        auto size = numberIn(trimmed(sizeLine), 16);
        if (!size || *size > maximumBodyBytes - current_->body.size()) {
            fail("A chunk size cannot be taken.");
            return false;
        }
        if (*size == 0) {
            // No trailers are expected; the last chunk ends with an empty line.
            const std::size_t trailerEnd = buffer_.find("\r\n\r\n", sizeEnd);
            if (trailerEnd == std::string::npos) {
                return false;
            }
            buffer_.erase(0, trailerEnd + 4);
            return true;
        }
        const std::size_t dataStart = sizeEnd + 2;
        if (buffer_.size() < dataStart + *size + 2) {
            return false;
        }
        if (buffer_.compare(dataStart + *size, 2, "\r\n") != 0) {
            fail("A chunk does not end where its size says.");
            return false;
        }
        current_->body.append(buffer_, dataStart, *size);
        buffer_.erase(0, dataStart + *size + 2);
    }
}

void HttpRequestReader::fail(std::string why) {
    error_ = std::move(why);
    buffer_.clear();
    current_.reset();
}

} // namespace tarnwick
