#pragma once

#include "link/InvitationRequest.h"
#include "link/WebContent.h"

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// The names a request's Host may give for this bridge: its host names, "localhost" and its
// addresses, each alone or with ":<port>" of the listening port. A request under any other
// name was sent to someone else, or is a page of another site that rebound its name to this
// computer's address, and is answered 421.
class HostNames {
public:
    HostNames() = default;
    // Host names as DNS names, addresses in their usual text (IPv6 without brackets or scope).
    HostNames(const std::vector<std::string>& hostNames, const std::vector<std::string>& addresses,
              unsigned short port);

    bool answersTo(std::string_view host) const;

private:
    std::set<std::string, std::less<>> names_; // lower case; IPv6 addresses in brackets
    std::string port_;
};

// Whether an Origin header names the site of the Host it came with: "https://" + Host, scheme
// and host compared without regard to case.
bool isOwnOrigin(std::string_view origin, std::string_view host);

// The answer to one request for the page, whole and ready to write.
struct WebAnswer {
    int status = 200;
    std::string bytes;
    bool close = false; // the connection ends after it
};

// How many requests one served connection may carry.
inline constexpr int maxRequestsPerConnection = 32;

// Answers a request that is not a session request (see HttpRequestHead::isSessionRequest) and
// whose Host was checked, from `content`: GET and HEAD of a path in the table get the file,
// anything else an error, after which the connection closes. `last`: the connection carried
// its last request, so the answer closes it too.
WebAnswer answerPage(const HttpRequestHead& request, const WebContent& content, bool last);

} // namespace tarnwick
