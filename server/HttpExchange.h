#pragma once

#include <string>
#include <utility>
#include <vector>

namespace wh::server {

// A request head as the HTTP layer hands it over: the method, the decoded path without its query,
// the client's address and every header line in the order sent (a name may come more than once).
struct HttpRequest
{
    std::string method;
    std::string path;
    std::string remoteAddress;
    std::vector<std::pair<std::string, std::string>> headers;

    // The first value of a header (names without regard to case), or empty.
    std::string Header(const std::string& name) const;
    std::size_t HeaderCount(const std::string& name) const;
};

// An answer: a body in memory, or a stored file sent in pieces as the client takes it.
struct HttpResponse
{
    int status = 200;
    std::string contentType = "text/plain";
    std::string body;
    std::string filePath; // sent instead of `body` when set
    std::vector<std::pair<std::string, std::string>> headers;
    // The connection ends after the answer: the client still has a body on the way that will
    // never be read.
    bool closeConnection = false;
};

} // namespace wh::server
