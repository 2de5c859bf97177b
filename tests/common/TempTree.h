#pragma once

#include <string>

namespace wh::test {

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempTree
{
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& Root() const { return m_root; }
    std::string Path(const std::string& relative) const;

    // Writes a file (creating its folders) with exactly the given bytes; returns its path.
    std::string Write(const std::string& relative, const std::string& bytes) const;
    std::string MakeDir(const std::string& relative) const;

private:
    std::string m_root;
};

std::string ReadFile(const std::string& path);

// How often `what` stands in `text`, counting from the end of each find.
std::size_t CountOf(const std::string& text, const std::string& what);

// Sets an environment variable for the life of the object and restores the previous value.
class ScopedEnv
{
public:
    ScopedEnv(const std::string& name, const std::string& value);
    // Unsets the variable for the life of the object.
    explicit ScopedEnv(const std::string& name);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::string m_previous;
    bool m_hadPrevious;
};

} // namespace wh::test
