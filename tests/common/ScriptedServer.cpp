#include "common/ScriptedServer.h"

#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace wh::test {

ScriptedServer::ScriptedServer()
{
    m_process = std::make_unique<ChildProcess>(
        std::vector<std::string> { "python3", WH_SOURCE_DIR "/tests/common/scripted_https_server.py" });
    const std::string line = m_process->WaitForLine("listening on ", 30000);
    if (line.empty()) {
        throw std::runtime_error("the scripted HTTPS server did not start");
    }
    m_baseUrl = line.substr(line.find("https://"));
}

ScriptedServer& SharedScriptedServer()
{
    static ScriptedServer server;
    return server;
}

int ClosedLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);
    ::close(fd); // bound but never listening, then closed: connections are refused
    return port;
}

} // namespace wh::test
