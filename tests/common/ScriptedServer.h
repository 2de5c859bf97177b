#pragma once

#include <memory>
#include <string>

#include "common/ChildProcess.h"

namespace wh::test {

// The scripted HTTPS test server (tests/common/scripted_https_server.py) as a real process on a
// free loopback port, for statuses, stalls, cut connections and echoes of what the client sent.
class ScriptedServer
{
public:
    ScriptedServer();
    const std::string& BaseUrl() const { return m_baseUrl; }

private:
    std::unique_ptr<ChildProcess> m_process;
    std::string m_baseUrl;
};

// One scripted server for all tests of a test program: starting one costs a certificate.
ScriptedServer& SharedScriptedServer();

// A loopback port with nobody listening on it.
int ClosedLoopbackPort();

} // namespace wh::test
