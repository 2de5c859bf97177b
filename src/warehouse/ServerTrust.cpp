#include "warehouse/ServerTrust.h"

#include <cerrno>
#include <cstdio>
#include <curl/curl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "env/IniFile.h"
#include "env/WarehouseFuncs.h"
#include "support/Errors.h"
#include "support/platform/Paths.h"
#include "support/text/StringUtil.h"

namespace wh::warehouse {
namespace {

bool IsFingerprint(const std::string& text)
{
    if (text.size() != 64) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// The file's lines; no file is no lines. Anything else that keeps it from being read raises.
std::vector<std::string> ReadLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        if (errno == ENOENT) {
            return lines;
        }
        throw FileError("Cannot read the trusted servers file \"" + path + "\". " + SystemErrorText(errno));
    }
    std::string content;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        content.append(buffer, n);
    }
    const int readError = std::ferror(file) ? (errno ? errno : EIO) : 0;
    std::fclose(file);
    if (readError) {
        throw FileError("Cannot read the trusted servers file \"" + path + "\". " + SystemErrorText(readError));
    }
    std::size_t begin = 0;
    while (begin < content.size()) {
        std::size_t end = content.find('\n', begin);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string line = content.substr(begin, end - begin);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        begin = end + 1;
    }
    return lines;
}

// A line's address and fingerprint; false for a comment or an empty line. A line of another
// form raises.
bool ParseLine(const std::string& path, std::size_t number, const std::string& line, std::string& address,
               std::string& fingerprint)
{
    const std::string trimmed = text::Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') {
        return false;
    }
    std::istringstream fields(trimmed);
    std::string extra;
    fields >> address >> fingerprint >> extra;
    fingerprint = text::LowerCase(fingerprint);
    if (!extra.empty() || ServerAddressOf(address) != address || !IsFingerprint(fingerprint)) {
        throw FileError("The trusted servers file \"" + path + "\" is damaged at line " + std::to_string(number)
                        + ": each line must hold a server address (https://host:port) and the 64 hex digits of "
                          "its key's SHA-256. Correct or delete the line.");
    }
    return true;
}

void MakeFolders(const std::string& folder)
{
    for (std::size_t i = 1; i <= folder.size(); ++i) {
        if (i == folder.size() || folder[i] == '/') {
            ::mkdir(folder.substr(0, i).c_str(), 0700);
        }
    }
}

} // namespace

TrustSettings ReadTrustSettings(env::WarehouseEnv& env)
{
    TrustSettings settings;
    const std::string path = env.WarehouseIniPath();
    env::IniFile ini;
    if (!ini.Load(path)) {
        return settings;
    }
    const std::string verify = text::LowerCase(text::Trim(ini.ReadString("Security", "Verify", "pin")));
    if (verify == "pin" || verify.empty()) {
        settings.policy = VerifyPolicy::Pin;
    } else if (verify == "ca") {
        settings.policy = VerifyPolicy::Ca;
    } else if (verify == "none") {
        settings.policy = VerifyPolicy::None;
    } else {
        throw FileError("The setting Verify=" + verify + " in the section [Security] of \"" + path
                        + "\" is not known: it may be pin, ca or none.");
    }
    settings.caFile = text::Trim(ini.ReadString("Security", "CAFile", ""));
    return settings;
}

std::string ServerAddressOf(const std::string& url)
{
    std::string address;
    CURLU* parsed = curl_url();
    if (!parsed) {
        return address;
    }
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK
        && curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK
        && curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK
        && curl_url_get(parsed, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        if (text::LowerCase(scheme) == "https" && host[0] != '\0') {
            address = "https://" + text::LowerCase(host) + ":" + port;
        }
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
    curl_url_cleanup(parsed);
    return address;
}

std::string TrustedServers::PinFor(const std::string& address) const
{
    const std::vector<std::string> lines = ReadLines(m_path);
    std::string pin;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string lineAddress;
        std::string fingerprint;
        // Every line is checked, so that damage anywhere in the file is seen at once.
        if (ParseLine(m_path, i + 1, lines[i], lineAddress, fingerprint) && lineAddress == address && pin.empty()) {
            pin = fingerprint;
        }
    }
    return pin;
}

void TrustedServers::SetPin(const std::string& address, const std::string& fingerprint) const
{
    if (ServerAddressOf(address) != address || !IsFingerprint(fingerprint)) {
        throw Error("Cannot pin \"" + fingerprint + "\" for \"" + address + "\".");
    }
    const std::vector<std::string> lines = ReadLines(m_path);
    std::string content;
    bool replaced = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string lineAddress;
        std::string lineFingerprint;
        if (ParseLine(m_path, i + 1, lines[i], lineAddress, lineFingerprint) && lineAddress == address) {
            if (!replaced) {
                content += address + " " + fingerprint + "\n";
                replaced = true;
            }
            continue;
        }
        content += lines[i] + "\n";
    }
    if (lines.empty()) {
        content = "# Warehouse servers this account trusts: address, then the SHA-256 of the server's public key\n"
                  "# (as: openssl x509 -pubkey -noout -in CERT | openssl pkey -pubin -outform der | sha256sum).\n";
    }
    if (!replaced) {
        content += address + " " + fingerprint + "\n";
    }
    MakeFolders(m_path.substr(0, m_path.rfind('/')));
    const std::string temporary = m_path + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) {
        throw FileError("Cannot write the trusted servers file \"" + temporary + "\". " + SystemErrorText(errno));
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size()
        && std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    const int writeError = errno;
    if (std::fclose(file) != 0 || !written) {
        std::remove(temporary.c_str());
        throw FileError("Cannot write the trusted servers file \"" + temporary + "\". "
                        + SystemErrorText(written ? errno : writeError));
    }
    if (std::rename(temporary.c_str(), m_path.c_str()) != 0) {
        const int renameError = errno;
        std::remove(temporary.c_str());
        throw FileError("Cannot replace the trusted servers file \"" + m_path + "\". " + SystemErrorText(renameError));
    }
}

std::string TrustedServersPath(env::WarehouseEnv& env)
{
    std::string folder = env.LocalWarehouseDir();
    if (folder.empty()) {
        const std::string root = env::GetLocalAppDataDir();
        if (root.empty()) {
            throw FileError("The trusted servers file cannot be found: the local data folder is not known.");
        }
        folder = platform::JoinPath(platform::JoinPath(root, "Korvan"), "Warehouse");
    }
    return platform::JoinPath(folder, "trusted-servers");
}

std::string ChangedServerMessage(const ChangedServer& server)
{
    return "The server at " + server.address + " is not the one this computer trusts: it shows the key "
        + server.presented + " where the key " + server.pinned
        + " was trusted (SHA-256 of the public key). Nothing was sent. If the server's certificate was "
          "replaced on purpose, accept the new key in Settings or with \"whupload-cli trust --accept\".";
}

std::string ChangedServerQuestion(const ChangedServer& server)
{
    return "The server at " + server.address + " shows a key that is not the one this computer trusts.\r\n\r\n"
        + "Trusted key:   " + (server.pinned.empty() ? std::string("(none)") : server.pinned) + "\r\n"
        + "Key shown now: " + server.presented + "\r\n"
        + "(SHA-256 of the server's public key; \"warehouse-server fingerprint\" prints the server's own.)\r\n\r\n"
          "If the server's certificate was replaced on purpose, choose Yes to trust the key shown now. "
          "Otherwise choose No: nothing is sent to this server.";
}

} // namespace wh::warehouse
