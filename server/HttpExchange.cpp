#include "HttpExchange.h"

#include <strings.h>

namespace wh::server {

std::string HttpRequest::Header(const std::string& name) const
{
    for (const auto& [key, value] : headers) {
        if (::strcasecmp(key.c_str(), name.c_str()) == 0) {
            return value;
        }
    }
    return {};
}

std::size_t HttpRequest::HeaderCount(const std::string& name) const
{
    std::size_t count = 0;
    for (const auto& header : headers) {
        count += ::strcasecmp(header.first.c_str(), name.c_str()) == 0 ? 1 : 0;
    }
    return count;
}

} // namespace wh::server
