// The request decoder and the page's answers take whatever a browser, or anyone, sends to the
// link's port. Whatever the bytes, nothing may crash, a file is only ever served for exactly a
// path of the table, and every answer is a whole HTTP answer that says how long it is.
#include "link/InvitationRequest.h"
#include "link/WebAnswer.h"
#include "link/WebContent.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

const tarnwick::WebContent& content() {
    static const tarnwick::WebContent table = tarnwick::WebContent::assemble({
        {"index.html", "<p>{{build}}</p>"},
        {"main.js", "export {};"},
        {"manifest.webmanifest", "{}"},
        {"icon.svg", "<svg/>"},
    });
    return table;
}

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto length = tarnwick::InvitationRequest::headerLength(bytes);
    const std::string_view header = length ? bytes.substr(0, *length) : bytes;
    const auto request = tarnwick::HttpRequestHead::parse(header);
    if (!request) {
        check(!request.error().description.empty());
        return 0;
    }
    check(length.has_value());
    const tarnwick::HostNames names({"localhost", "studio", "studio.local"}, {"127.0.0.1", "::1"},
                                    47601);
    (void)names.answersTo(request->host);
    if (request->origin) {
        (void)tarnwick::isOwnOrigin(*request->origin, request->host);
    }
    if (request->isSessionRequest()) {
        (void)tarnwick::InvitationRequest::parse(header);
        return 0;
    }
    const auto answer = tarnwick::answerPage(*request, content(), size % 2 == 0);
    check(answer.bytes.starts_with("HTTP/1.1 " + std::to_string(answer.status) + " "));
    const std::size_t end = answer.bytes.find("\r\n\r\n");
    check(end != std::string::npos);
    const std::string_view answerHeader = std::string_view(answer.bytes).substr(0, end);
    const std::size_t at = answerHeader.find("\r\nContent-Length: ");
    check(at != std::string_view::npos);
    const std::size_t declared = std::stoul(std::string(answerHeader.substr(at + 18)));
    const std::size_t body = answer.bytes.size() - end - 4;
    const tarnwick::WebFile* file = content().find(request->target);
    if (answer.status == 200) {
        check(file != nullptr && (request->method == "GET" || request->method == "HEAD"));
        check(declared == file->bytes.size());
        check(body == (request->method == "HEAD" ? 0 : declared));
        check(request->target.find_first_of("%?\\") == std::string::npos);
    } else {
        check(answer.close && body == declared);
    }
    return 0;
}
