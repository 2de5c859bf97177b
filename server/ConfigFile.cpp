// The configuration file: the command line's options as "key = value" lines.

#include "ConfigFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>

namespace wh::server {
namespace {

std::string Trim(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t\r") + 1 - first);
}

} // namespace

void ApplyConfigFile(CLI::App& app, const std::string& path)
{
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot read the configuration file " + path + ": " + std::strerror(errno));
    }
    std::map<std::string, int> seen;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = path + ":" + std::to_string(number) + ": ";
        const std::string text = Trim(line);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
            throw std::runtime_error(where + "\"key = value\" expected, not \"" + text + "\"");
        }
        const std::string key = Trim(text.substr(0, equals));
        std::string value = Trim(text.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        CLI::Option* option = key.empty() || key == "config" || key == "help" || key.front() == '-'
            ? nullptr
            : app.get_option_no_throw("--" + key);
        if (!option) {
            throw std::runtime_error(where + "unknown key \"" + key + "\"");
        }
        if (const auto [earlier, first] = seen.emplace(key, number); !first) {
            throw std::runtime_error(where + "\"" + key + "\" was given already on line "
                                     + std::to_string(earlier->second));
        }
        if (option->count() > 0) {
            continue; // given on the command line
        }
        try {
            option->add_result(value);
            option->run_callback();
        } catch (const CLI::Error& error) {
            throw std::runtime_error(where + "bad value for \"" + key + "\": " + error.what());
        }
    }
}

} // namespace wh::server
