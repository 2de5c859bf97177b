// server_json [--repeat N] [--callback]: checks and parses a 1 MiB JSON body of each shape the way
// warehouse-server does (the depth scan, then one parse) and prints the best time of N runs (3 by
// default) and the bytes per second. With --callback it also times the JSON library's
// depth-checking callback parse over the same bodies, for comparison (its wide shapes take tens of
// seconds each). The parse is timed without the server's limit on the number of values; the last
// column says whether the server takes the body (the wide shapes hold too many values).
//  - wide array: {"a":[{},{},...]}, the most objects a body can hold
//  - wide object: {"a":{"k0":{},"k1":{},...}}
//  - deep: {"a":[[[...32 levels...]],[[[...]]],...]}, nesting as deep as taken, over and over
//  - long string: {"a":"xxxx..."} with escapes now and then
//  - many members: {"m0":0,"m1":1,...}
#include "JsonBody.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBodyBytes = 1024 * 1024; // the server's limit on JSON bodies
constexpr int kMaxDepth = 32; // and on their nesting
// The server's depth limit without its limit on values, so that every shape is parsed.
constexpr wh::server::JsonShapeLimits kParseOnly { kMaxDepth, std::numeric_limits<std::size_t>::max() };

// Appends pieces made by `piece(i)` to `head` while the body, closed by `tail`, stays within the limit.
std::string Fill(std::string head, const std::function<std::string(int)>& piece, const std::string& tail)
{
    for (int i = 0;; ++i) {
        std::string next = (i ? "," : "") + piece(i);
        if (head.size() + next.size() + tail.size() > kBodyBytes) {
            break;
        }
        head += next;
    }
    return head + tail;
}

struct Shape
{
    const char* name;
    std::string body;
};

std::vector<Shape> Shapes()
{
    const std::string deepest = std::string(kMaxDepth - 2, '[') + "1" + std::string(kMaxDepth - 2, ']');
    std::string longText(kBodyBytes - 16, 'x');
    for (std::size_t i = 100; i < longText.size(); i += 100) {
        longText[i - 1] = '\\';
        longText[i] = '"';
    }
    return {
        { "wide array",
          Fill(
              "{\"a\":[", [](int) { return std::string("{}"); }, "]}") },
        { "wide object",
          Fill(
              "{\"a\":{", [](int i) { return "\"k" + std::to_string(i) + "\":{}"; }, "}}") },
        { "deep",
          Fill(
              "{\"a\":[", [&](int) { return deepest; }, "]}") },
        { "long string", "{\"a\":\"" + longText + "\"}" },
        { "many members",
          Fill(
              "{", [](int i) { return "\"m" + std::to_string(i) + "\":" + std::to_string(i); }, "}") },
    };
}

// The parse the server did before: the library's callback refuses anything too deep, but keeps
// looking through the parent after every object it closes.
nlohmann::json CallbackParse(const std::string& text)
{
    struct TooDeep
    {
    };
    try {
        return nlohmann::json::parse(
            text,
            [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
                if (depth > kMaxDepth) {
                    throw TooDeep {};
                }
                return true;
            },
            false);
    } catch (const TooDeep&) {
        return nlohmann::json::value_t::discarded;
    }
}

double BestSeconds(int repeat, const std::function<void()>& run)
{
    double best = 1e99;
    for (int i = 0; i < repeat; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    int repeat = 3;
    bool callback = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--callback") == 0) {
            callback = true;
        } else {
            std::fprintf(stderr, "usage: server_json [--repeat N] [--callback]\n");
            return 2;
        }
    }
    std::printf("%-14s %9s %12s %10s %-8s%s\n", "body (1 MiB)", "bytes", "scan+parse", "MB/s", "server",
                callback ? "   callback parse" : "");
    for (const Shape& shape : Shapes()) {
        bool taken = false;
        const double seconds = BestSeconds(repeat, [&] {
            try {
                taken = wh::server::ParseJsonObject(shape.body, "body", kParseOnly).is_object();
            } catch (const std::exception&) {
                taken = false;
            }
        });
        if (!taken) {
            std::fprintf(stderr, "server_json: the %s body was refused\n", shape.name);
            return 1;
        }
        const bool served
            = wh::server::ScanJson(shape.body, wh::server::JsonShapeLimits {}) == wh::server::JsonScan::Fine;
        std::printf("%-14s %9zu %10.1f ms %10.1f %-8s", shape.name, shape.body.size(), seconds * 1000,
                    shape.body.size() / seconds / 1e6, served ? "takes" : "refuses");
        if (callback) {
            std::fflush(stdout);
            const double old = BestSeconds(1, [&] { CallbackParse(shape.body); });
            std::printf("   %12.1f ms", old * 1000);
        }
        std::printf("\n");
    }
    return 0;
}
