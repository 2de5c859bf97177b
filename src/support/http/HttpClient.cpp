#include "support/http/HttpClient.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <curl/curl.h>
#include <memory>
#include <mutex>
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
};

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
    // The server's certificate is taken as presented; SSL 2 and 3 are never spoken.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
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
    if (timedOut) {
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
