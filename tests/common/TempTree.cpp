#include "common/TempTree.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace wh::test {

TempTree::TempTree()
{
    std::string pattern = (fs::temp_directory_path() / "whtest-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot create a temporary folder");
    }
    m_root = pattern;
}

TempTree::~TempTree()
{
    std::error_code ec;
    // Read-only files and folders left by a test must not keep the tree alive.
    for (auto it = fs::recursive_directory_iterator(m_root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(m_root, ec);
}

std::string TempTree::Path(const std::string& relative) const
{
    return (fs::path(m_root) / relative).string();
}

std::string TempTree::Write(const std::string& relative, const std::string& bytes) const
{
    const fs::path path = fs::path(m_root) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
    return path.string();
}

std::string TempTree::MakeDir(const std::string& relative) const
{
    const fs::path path = fs::path(m_root) / relative;
    fs::create_directories(path);
    return path.string();
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path);
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::size_t CountOf(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++count;
    }
    return count;
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value)
    : m_name(name)
    , m_hadPrevious(std::getenv(name.c_str()) != nullptr)
{
    if (m_hadPrevious) {
        m_previous = std::getenv(name.c_str());
    }
    ::setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::ScopedEnv(const std::string& name)
    : m_name(name)
    , m_hadPrevious(std::getenv(name.c_str()) != nullptr)
{
    if (m_hadPrevious) {
        m_previous = std::getenv(name.c_str());
    }
    ::unsetenv(name.c_str());
}

ScopedEnv::~ScopedEnv()
{
    if (m_hadPrevious) {
        ::setenv(m_name.c_str(), m_previous.c_str(), 1);
    } else {
        ::unsetenv(m_name.c_str());
    }
}

} // namespace wh::test
