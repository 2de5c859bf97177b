#include "support/http/HttpClient.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <sys/time.h>

#include "support/Errors.h"

namespace wh::http {
namespace {

using Clock = std::chrono::steady_clock;
using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

FilePtr OpenFile(const std::string& path, const char* mode, const std::string& what)
{
    std::FILE* file = std::fopen(path.c_str(), mode);
    if (!file) {
        throw FileError("Cannot open " + what + " \"" + path + "\". " + SystemErrorText(errno));
    }
    return FilePtr(file, &std::fclose);
}

void InitCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string WireTime()
{
    timeval now {};
    ::gettimeofday(&now, nullptr);
    std::tm local {};
    localtime_r(&now.tv_sec, &local);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d:%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(now.tv_usec / 1000));
    return buffer;
}

// Everything the callbacks of one transfer share.
struct Transfer
{
    std::FILE* wireLog = nullptr;
    std::FILE* bodyFile = nullptr;
    const std::string* bodyText = nullptr;
    std::size_t bodyOffset = 0;
    std::FILE* downloadFile = nullptr;
    std::string downloadPath;
    int downloadErrno = 0;
    int bodyErrno = 0;
    std::string received;
    std::string reasonPhrase;
    Clock::time_point lastActivity = Clock::now();
    // The certificate check of the handshake.
    const ServerTrust* trust = nullptr;
    std::string host; // the request's host name or address, without brackets
    std::string serverKey;
    bool serverVerified = false;
    std::string refusal; // set when the handshake was ended because the server is not trusted
};

void WriteWireLine(Transfer& t, const std::string& text);

std::string KeyFingerprint(X509* certificate)
{
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    if (length <= 0) {
        return {};
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    const bool hashed = EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!hashed) {
        return {};
    }
    static const char* digits = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < digestLength; ++i) {
        hex.push_back(digits[digest[i] >> 4]);
        hex.push_back(digits[digest[i] & 0xf]);
    }
    return hex;
}

bool IsIpAddress(const std::string& host)
{
    unsigned char buffer[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// Replaces the chain check of the handshake: the certificate either verifies for the host name,
// or the trust's judge accepts its key. Returning 0 ends the handshake, so nothing of the request
// (credentials, body) leaves this machine.
int OnVerifyCertificate(X509_STORE_CTX* context, void* user)
{
    auto& t = *static_cast<Transfer*>(user);
    X509* leaf = X509_STORE_CTX_get0_cert(context);
    if (!leaf) {
        t.refusal = "The server at " + t.host + " showed no certificate.";
        return 0;
    }
    t.serverKey = KeyFingerprint(leaf);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context);
    if (IsIpAddress(t.host)) {
        X509_VERIFY_PARAM_set1_ip_asc(param, t.host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(param, t.host.c_str(), t.host.size());
    }
    if (X509_verify_cert(context) == 1) {
        t.serverVerified = true;
        return 1;
    }
    const std::string verifyError = X509_verify_cert_error_string(X509_STORE_CTX_get_error(context));
    if (t.trust && t.trust->judgeUnverified) {
        try {
            t.refusal = t.trust->judgeUnverified(t.serverKey, verifyError);
        } catch (const std::exception& e) {
            t.refusal = e.what();
        } catch (...) {
            t.refusal = "The server's certificate could not be checked.";
        }
        if (t.refusal.empty()) {
            WriteWireLine(t,
                          "The certificate of " + t.host + " does not verify (" + verifyError
                              + "); the server is accepted by its key " + t.serverKey);
            // Accepted by its key: the library must not fail the connection afterwards.
            X509_STORE_CTX_set_error(context, X509_V_OK);
            return 1;
        }
        return 0;
    }
    t.refusal = "The certificate of the server at " + t.host + " does not verify: " + verifyError
        + ". Its key's SHA-256 is " + t.serverKey + ".";
    return 0;
}

// Loads the certificates to verify against and puts OnVerifyCertificate in the handshake. The
// system's store is loaded here rather than by the library, so that a machine without one still
// reaches pinned servers; a CA file that cannot be read fails the connection with its name.
CURLcode OnSslContext(CURL*, void* sslContext, void* user)
{
    auto& t = *static_cast<Transfer*>(user);
    auto* context = static_cast<SSL_CTX*>(sslContext);
    if (t.trust->caFile.empty()) {
        SSL_CTX_set_default_verify_paths(context);
    } else if (SSL_CTX_load_verify_locations(context, t.trust->caFile.c_str(), nullptr) != 1) {
        t.refusal = "The certificate authority file \"" + t.trust->caFile
            + "\" cannot be read as PEM certificates. Nothing was sent.";
        return CURLE_SSL_CACERT_BADFILE;
    }
    SSL_CTX_set_cert_verify_callback(context, OnVerifyCertificate, user);
    return CURLE_OK;
}

// The host part of the address, as the certificate must name it.
std::string HostOf(const std::string& url)
{
    std::string host;
    CURLU* parsed = curl_url();
    if (parsed && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        char* part = nullptr;
        if (curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK && part) {
            host = part;
            curl_free(part);
        }
    }
    curl_url_cleanup(parsed);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return host;
}

// One message per time-stamped line: line breaks inside a message (a failure's code and text are
// joined by CR LF) become blanks.
std::string OneLine(const std::string& text)
{
    std::string line;
    line.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            line.push_back(' ');
        } else {
            line.push_back(text[i]);
        }
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

void WriteWireLine(Transfer& t, const std::string& text)
{
    if (!t.wireLog) {
        return;
    }
    std::fprintf(t.wireLog, "%s %s\n", WireTime().c_str(), OneLine(text).c_str());
}

bool IsPlainHttp(const std::string& url)
{
    static const std::string scheme = "http://";
    if (url.size() < scheme.size()) {
        return false;
    }
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) {
            return false;
        }
    }
    return true;
}

int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* user)
{
    auto& t = *static_cast<Transfer*>(user);
    switch (type) {
    case CURLINFO_TEXT:
        WriteWireLine(t, std::string(data, size));
        break;
    case CURLINFO_HEADER_IN:
    case CURLINFO_HEADER_OUT:
    case CURLINFO_DATA_IN:
    case CURLINFO_DATA_OUT:
    case CURLINFO_SSL_DATA_IN:
    case CURLINFO_SSL_DATA_OUT:
        t.lastActivity = Clock::now(); // traffic of any kind, handshakes included
        break;
    default:
        break;
    }
    return 0;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user)
{
    auto& t = *static_cast<Transfer*>(user);
    const std::string line(data, size * count);
    // Keep the reason phrase of the last status line (an interim 100 Continue comes first).
    if (line.rfind("HTTP/", 0) == 0) {
        const auto firstBlank = line.find(' ');
        const auto secondBlank = firstBlank == std::string::npos ? std::string::npos : line.find(' ', firstBlank + 1);
        t.reasonPhrase = secondBlank == std::string::npos ? std::string() : line.substr(secondBlank + 1);
        while (!t.reasonPhrase.empty() && (t.reasonPhrase.back() == '\n' || t.reasonPhrase.back() == '\r')) {
            t.reasonPhrase.pop_back();
        }
    }
    return size * count;
}

size_t OnWrite(char* data, size_t size, size_t count, void* user)
{
    auto& t = *static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    t.lastActivity = Clock::now();
    if (t.downloadFile) {
        if (std::fwrite(data, 1, bytes, t.downloadFile) != bytes) {
            t.downloadErrno = errno ? errno : EIO;
            return 0;
        }
        return bytes;
    }
    t.received.append(data, bytes);
    return bytes;
}

size_t OnRead(char* buffer, size_t size, size_t count, void* user)
{
    auto& t = *static_cast<Transfer*>(user);
    const size_t room = size * count;
    t.lastActivity = Clock::now();
    if (t.bodyFile) {
        const size_t n = std::fread(buffer, 1, room, t.bodyFile);
        if (n == 0 && std::ferror(t.bodyFile)) {
            t.bodyErrno = errno ? errno : EIO;
            return CURL_READFUNC_ABORT;
        }
        return n;
    }
    if (t.bodyText) {
        const size_t n = std::min(room, t.bodyText->size() - t.bodyOffset);
        std::memcpy(buffer, t.bodyText->data() + t.bodyOffset, n);
        t.bodyOffset += n;
        return n;
    }
    return 0;
}

// Errors made on this side of the wire rather than by the transfer itself.
bool IsLocalError(CURLcode code)
{
    switch (code) {
    case CURLE_FAILED_INIT:
    case CURLE_NOT_BUILT_IN:
    case CURLE_WRITE_ERROR:
    case CURLE_READ_ERROR:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_FUNCTION_NOT_FOUND:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_FILESIZE_EXCEEDED:
        return true;
    default:
        return false;
    }
}

struct CurlEasyDeleter
{
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct CurlMultiDeleter
{
    void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
struct CurlListDeleter
{
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

} // namespace

std::string KeyFingerprintOfPem(const std::string& pemCertificate)
{
    std::unique_ptr<BIO, int (*)(BIO*)> bio(
        BIO_new_mem_buf(pemCertificate.data(), static_cast<int>(pemCertificate.size())), &BIO_free);
    if (!bio) {
        return {};
    }
    std::unique_ptr<X509, void (*)(X509*)> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                       &X509_free);
    return certificate ? KeyFingerprint(certificate.get()) : std::string();
}

std::string Outcome::FailureMessage() const
{
    if (kind == Kind::HttpFailure) {
        return std::to_string(failureCode) + "\r\n" + failureText;
    }
    return message;
}

HttpClient::HttpClient()
{
    InitCurlOnce();
}

HttpClient::~HttpClient() = default;

Outcome HttpClient::Perform(const Request& request)
{
    Transfer t;
    FilePtr wireLog(nullptr, &std::fclose);
    if (!m_wireLogPath.empty()) {
        wireLog = OpenFile(m_wireLogPath, "ab", "the wire log");
        t.wireLog = wireLog.get();
    }
    if (IsPlainHttp(request.url)) {
        WriteWireLine(t,
                      "Warning: the server address is plain http: the password and every document travel "
                      "unencrypted");
    }
    if (!request.wireWarning.empty()) {
        WriteWireLine(t, "Warning: " + request.wireWarning);
    }
    if (request.beforeSend) {
        request.beforeSend();
    }

    FilePtr bodyFile(nullptr, &std::fclose);
    curl_off_t bodySize = 0;
    if (request.body.kind == RequestBody::Kind::File) {
        bodyFile = OpenFile(request.body.filePath, "rb", "file");
        struct stat info = {};
        ::fstat(::fileno(bodyFile.get()), &info);
        bodySize = info.st_size;
        t.bodyFile = bodyFile.get();
    } else if (request.body.kind == RequestBody::Kind::Memory) {
        t.bodyText = &request.body.text;
        bodySize = static_cast<curl_off_t>(request.body.text.size());
    }

    FilePtr downloadFile(nullptr, &std::fclose);
    if (!request.downloadPath.empty()) {
        downloadFile = OpenFile(request.downloadPath, "wb", "file");
        t.downloadFile = downloadFile.get();
        t.downloadPath = request.downloadPath;
    }

    Outcome outcome;
    std::unique_ptr<CURL, CurlEasyDeleter> easy(curl_easy_init());
    std::unique_ptr<CURLM, CurlMultiDeleter> multi(curl_multi_init());
    if (!easy || !multi) {
        outcome.kind = Outcome::Kind::OtherFailure;
        outcome.message = "The HTTP client could not be set up.";
        WriteWireLine(t, "Error: " + outcome.message);
        return outcome;
    }
    CURL* h = easy.get();
    char errorBuffer[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    // A server address is a web address: a file:// or other scheme must not read or write local
    // files or reach other services, not even through a redirection.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    // Every request connects anew: no connection is left for a later one.
    curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
    // SSL 2 and 3 are never spoken. Under AcceptAny the server's certificate is taken as
    // presented; under Verify the handshake's own check is replaced by OnVerifyCertificate, which
    // also checks the host name (so the library's later name check is off).
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    if (request.trust.mode == ServerTrust::Mode::Verify) {
        t.trust = &request.trust;
        t.host = HostOf(request.url);
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
        curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, OnSslContext);
        curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &t);
    } else {
        curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    }
    curl_easy_setopt(h, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(h, CURLOPT_DEBUGDATA, &t);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    if (!request.user.empty() && !request.password.empty()) {
        curl_easy_setopt(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(h, CURLOPT_USERNAME, request.user.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, request.password.c_str());
    }

    std::unique_ptr<curl_slist, CurlListDeleter> headers;
    auto addHeader
        = [&](const std::string& header) { headers.reset(curl_slist_append(headers.release(), header.c_str())); };
    const bool sendsBody = request.method == "POST" || request.method == "PUT";
    if (sendsBody) {
        addHeader("Content-Type: " + request.contentType);
        addHeader("Expect:"); // send the body at once instead of waiting for a 100 Continue
        curl_easy_setopt(h, CURLOPT_READFUNCTION, OnRead);
        curl_easy_setopt(h, CURLOPT_READDATA, &t);
        if (request.method == "PUT") {
            curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, bodySize);
        } else {
            curl_easy_setopt(h, CURLOPT_POST, 1L);
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, bodySize);
        }
    } else if (request.method == "GET") {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
    if (headers) {
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    }
    if (request.handshakeOnly) {
        curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
    }

    curl_multi_add_handle(multi.get(), h);
    bool timedOut = false;
    CURLcode result = CURLE_OK;
    t.lastActivity = Clock::now();
    while (true) {
        int running = 0;
        curl_multi_perform(multi.get(), &running);
        int queued = 0;
        bool done = false;
        while (CURLMsg* msg = curl_multi_info_read(multi.get(), &queued)) {
            if (msg->msg == CURLMSG_DONE) {
                result = msg->data.result;
                done = true;
            }
        }
        if (done || running == 0) {
            break;
        }
        if (Clock::now() - t.lastActivity >= m_timeout) {
            timedOut = true;
            break;
        }
        curl_multi_poll(multi.get(), nullptr, 0, 30, nullptr);
        if (m_idleHook) {
            m_idleHook();
        }
    }
    curl_multi_remove_handle(multi.get(), h);

    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &outcome.status);
    outcome.reason = t.reasonPhrase;
    outcome.serverKey = t.serverKey;
    outcome.serverVerified = t.serverVerified;
    if (!t.refusal.empty() && result != CURLE_OK) {
        outcome.kind = Outcome::Kind::OtherFailure;
        outcome.message = t.refusal;
        outcome.serverRefused = true;
    } else if (timedOut) {
        outcome.kind = Outcome::Kind::HttpFailure;
        outcome.failureCode = kTimeoutCode;
        outcome.failureText = kTimeoutText;
    } else if (result != CURLE_OK) {
        std::string text = errorBuffer[0] ? std::string(errorBuffer) : std::string(curl_easy_strerror(result));
        if (result == CURLE_WRITE_ERROR && t.downloadErrno) {
            text = "Cannot write to \"" + t.downloadPath + "\". " + SystemErrorText(t.downloadErrno);
        } else if ((result == CURLE_READ_ERROR || result == CURLE_ABORTED_BY_CALLBACK) && t.bodyErrno) {
            text = "Cannot read \"" + request.body.filePath + "\". " + SystemErrorText(t.bodyErrno);
        }
        if (IsLocalError(result) || t.downloadErrno || t.bodyErrno) {
            outcome.kind = Outcome::Kind::OtherFailure;
            outcome.message = text;
        } else {
            outcome.kind = Outcome::Kind::HttpFailure;
            outcome.failureCode = static_cast<int>(result);
            outcome.failureText = text;
        }
    } else if (outcome.status >= 400 && outcome.status != 401 && outcome.status != 407) {
        outcome.kind = Outcome::Kind::HttpFailure;
        outcome.failureCode = static_cast<int>(outcome.status);
        outcome.failureText = t.reasonPhrase;
    } else {
        outcome.kind = Outcome::Kind::Success;
    }
    if (!outcome.IsSuccess()) {
        WriteWireLine(t, "Error: " + outcome.FailureMessage().substr(0, 500));
    }
    if (t.downloadFile && std::fflush(t.downloadFile) != 0 && outcome.IsSuccess()) {
        outcome.kind = Outcome::Kind::OtherFailure;
        outcome.message = "Cannot write to \"" + t.downloadPath + "\". " + SystemErrorText(errno);
    }
    outcome.body = std::move(t.received);
    return outcome;
}

} // namespace wh::http
