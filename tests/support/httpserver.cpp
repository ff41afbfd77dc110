#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/httpserver.h"
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <utility>

namespace vexatest {
namespace {

constexpr int kReceiveTimeoutMs = 3000;   // a client that sends no request is dropped
constexpr std::size_t kMaxRequest = 64 * 1024;

const char* StatusText(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// The current time as an HTTP-date.
std::string HttpNow()
{
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    SYSTEMTIME t;
    GetSystemTime(&t);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[t.wDayOfWeek],
                  t.wDay, months[t.wMonth - 1], t.wYear, t.wHour, t.wMinute, t.wSecond);
    return text;
}

std::string Head(int status, const std::string& contentType, const std::string& lengthOrChunked,
                 const std::string& extra = std::string())
{
    char line[64];
    std::snprintf(line, sizeof line, "HTTP/1.1 %d %s\r\n", status, StatusText(status));
    return std::string(line) + "Date: " + HttpNow() + "\r\nContent-Type: " + contentType + "\r\n" +
           lengthOrChunked + extra + "Cache-Control: no-cache, no-store\r\nConnection: close\r\n\r\n";
}

std::string LengthHeader(std::size_t size)
{
    return "Content-Length: " + std::to_string(size) + "\r\n";
}

std::uint32_t Crc32(const std::string& data)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A gzip member holding the data in stored (uncompressed) deflate blocks.
std::string Gzip(const std::string& data)
{
    std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    std::size_t at = 0;
    do {
        const std::size_t n = std::min<std::size_t>(data.size() - at, 65535);
        const bool last = at + n == data.size();
        out += static_cast<char>(last ? 1 : 0);
        out += static_cast<char>(n & 0xFF);
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(~n & 0xFF);
        out += static_cast<char>((~n >> 8) & 0xFF);
        out.append(data, at, n);
        at += n;
    } while (at < data.size());
    const std::uint32_t crc = Crc32(data);
    const std::uint32_t size = static_cast<std::uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) out += static_cast<char>((crc >> (8 * i)) & 0xFF);
    for (int i = 0; i < 4; ++i) out += static_cast<char>((size >> (8 * i)) & 0xFF);
    return out;
}

// The value of a request header (case-insensitive name), or empty.
std::string RequestHeader(const std::string& request, const std::string& name)
{
    std::string lower = request;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string key = "\r\n" + name + ":";
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
    std::size_t at = lower.find(key);
    if (at == std::string::npos) return std::string();
    at += key.size();
    std::size_t end = request.find("\r\n", at);
    std::string value = request.substr(at, end - at);
    value.erase(0, value.find_first_not_of(' '));
    value.erase(value.find_last_not_of(' ') + 1);
    return value;
}

} // namespace

HttpServer::HttpServer() = default;

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start()
{
    if (m_listener != INVALID_SOCKET)
        return true;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    m_wsaStarted = true;
    m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_listener == INVALID_SOCKET)
        return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0; // the system picks a free port
    int size = sizeof address;
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, SOMAXCONN) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        closesocket(m_listener);
        m_listener = INVALID_SOCKET;
        return false;
    }
    m_port = ntohs(address.sin_port);
    m_stopping = false;
    m_acceptThread = std::thread([this] {
        try {
            AcceptLoop();
        } catch (const std::exception& e) {
            RecordFailure("accept loop", e.what());
        } catch (...) {
            RecordFailure("accept loop", "unknown exception");
        }
    });
    return true;
}

void HttpServer::Stop()
{
    m_stopping = true;
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    {
        // Wake workers blocked in recv or send.
        std::lock_guard<std::mutex> guard(m_lock);
        for (SOCKET s : m_open)
            shutdown(s, SD_BOTH);
    }
    for (Worker& worker : m_workers)
        if (worker.thread.joinable())
            worker.thread.join();
    m_workers.clear();
    if (m_listener != INVALID_SOCKET) {
        closesocket(m_listener);
        m_listener = INVALID_SOCKET;
    }
    if (m_wsaStarted) {
        WSACleanup();
        m_wsaStarted = false;
    }
}

void HttpServer::Serve(const std::string& path, std::string body, std::string contentType)
{
    Reply reply;
    reply.body = std::move(body);
    reply.contentType = std::move(contentType);
    Serve(path, std::move(reply));
}

void HttpServer::Serve(const std::string& path, Reply reply)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_documents[path] = std::move(reply);
}

void HttpServer::SetMode(Mode mode, Options options)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_mode = mode;
    m_options = options;
}

std::string HttpServer::Url(const std::string& path) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

// One field of every request, in the order the connections came in.
std::vector<std::string> HttpServer::ReceivedField(std::string Received::*field) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<Received> sorted = m_requests;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Received& a, const Received& b) { return a.sequence < b.sequence; });
    std::vector<std::string> out;
    for (const Received& r : sorted) out.push_back(r.*field);
    return out;
}

std::vector<std::chrono::steady_clock::time_point> HttpServer::RequestTimes() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::chrono::steady_clock::time_point> times;
    for (const Received& r : m_requests) times.push_back(r.at);
    return times;
}

void HttpServer::ClearRequests()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_requests.clear();
}

void HttpServer::RecordFailure(const char* where, const char* what)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_failures.push_back(std::string("test HTTP server, ") + where + ": " + what);
}

std::vector<std::string> HttpServer::TakeThreadFailures()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return std::exchange(m_failures, {});
}

void HttpServer::AcceptLoop()
{
    while (!m_stopping) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_listener, &readable);
        timeval wait = {0, 50 * 1000};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0)
            continue;
        SOCKET client = accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            continue;
        DWORD timeout = kReceiveTimeoutMs;
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        std::lock_guard<std::mutex> guard(m_lock);
        m_open.push_back(client);
        const unsigned long sequence = m_accepted++;
        for (auto it = m_workers.begin(); it != m_workers.end();) {
            if (*it->finished) {
                it->thread.join();
                it = m_workers.erase(it);
            } else {
                ++it;
            }
        }
        auto finished = std::make_shared<std::atomic<bool>>(false);
        m_workers.push_back(Worker{std::thread([this, client, sequence, finished] {
                                       try {
                                           Handle(client, sequence);
                                       } catch (const std::exception& e) {
                                           RecordFailure("connection", e.what());
                                       } catch (...) {
                                           RecordFailure("connection", "unknown exception");
                                       }
                                       *finished = true;
                                   }),
                                   finished});
    }
}

bool HttpServer::WaitReadable(SOCKET client)
{
    for (int waited = 0; waited < kReceiveTimeoutMs && !m_stopping; waited += 50) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        timeval wait = {0, 50 * 1000};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready != 0)
            return ready > 0;
    }
    return false;
}

bool HttpServer::SendAll(SOCKET client, const char* data, std::size_t size)
{
    while (size > 0 && !m_stopping) {
        int chunk = static_cast<int>(std::min<std::size_t>(size, 64 * 1024));
        int sent = send(client, data, chunk, 0);
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return size == 0;
}

bool HttpServer::SendSlowly(SOCKET client, const std::string& data, std::size_t step, int delayMs)
{
    step = std::max<std::size_t>(step, 1);
    for (std::size_t at = 0; at < data.size(); at += step) {
        if (m_stopping || !SendAll(client, data.data() + at, std::min(step, data.size() - at)))
            return false;
        Sleep(delayMs);
    }
    return true;
}

bool HttpServer::Pause(SOCKET client, int ms)
{
    // Sleeps in small steps, so that Stop ends it; false when stopping or the client left.
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
    while (GetTickCount64() < end) {
        if (m_stopping) return false;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(client, &readable);
        timeval wait = {0, 20 * 1000};
        if (select(0, &readable, nullptr, nullptr, &wait) > 0) {
            char byte;
            if (recv(client, &byte, 1, MSG_PEEK) <= 0) return false;
        }
    }
    return !m_stopping;
}

bool HttpServer::Answer(SOCKET client, const Reply& reply, const std::string& request, Mode mode,
                        const Options& options)
{
    while (m_holding)
        if (!Pause(client, 5)) return false;
    if (reply.latencyMs > 0 && !Pause(client, reply.latencyMs))
        return false;
    if (reply.silent) {
        Pause(client, 120 * 1000);
        return false;
    }
    std::string extra;
    for (const std::string& line : reply.headers) extra += line + "\r\n";
    if (!reply.etag.empty()) extra += "ETag: " + reply.etag + "\r\n";
    if (!reply.lastModified.empty()) extra += "Last-Modified: " + reply.lastModified + "\r\n";

    const bool unchanged =
        (!reply.etag.empty() && RequestHeader(request, "If-None-Match") == reply.etag) ||
        (!reply.lastModified.empty() && RequestHeader(request, "If-None-Match").empty() &&
         RequestHeader(request, "If-Modified-Since") == reply.lastModified);
    if (reply.status == 200 && unchanged) {
        std::string head = Head(304, reply.contentType, std::string(), extra);
        return SendAll(client, head.data(), head.size());
    }
    if (reply.status != 200) {
        std::string head = Head(reply.status, reply.contentType, LengthHeader(reply.body.size()), extra) + reply.body;
        return SendAll(client, head.data(), head.size());
    }
    if (reply.endless) {
        std::string head = Head(200, reply.contentType, std::string(), extra) + reply.body;
        if (!SendAll(client, head.data(), head.size())) return false;
        const std::string block(16 * 1024, ' ');
        const DWORD until = GetTickCount() + 120 * 1000;
        while (!m_stopping && GetTickCount() < until) {
            if (!SendAll(client, block.data(), block.size())) return false;
            m_bodyBytes += block.size();
        }
        return false;
    }
    std::string body = reply.body;
    if (reply.gzip || reply.brokenGzip) {
        body = Gzip(body);
        if (reply.brokenGzip)
            for (std::size_t i = 12; i < body.size() && i < 40; ++i) body[i] = static_cast<char>(0xA5);
        extra += "Content-Encoding: gzip\r\n";
    }
    const std::size_t announced = static_cast<std::size_t>(static_cast<long>(body.size()) + reply.lengthDelta);
    const std::string& type = mode == Mode::WrongType ? std::string("application/octet-stream") : reply.contentType;
    std::string head = Head(200, type, LengthHeader(announced), extra);
    if (!SendAll(client, head.data(), head.size())) return false;
    m_bodyBytes += body.size();
    if (mode == Mode::SlowDrip)
        return SendSlowly(client, body, options.dripBytes, options.dripDelayMs);
    return SendAll(client, body.data(), body.size());
}

void HttpServer::Handle(SOCKET client, unsigned long sequence)
{
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequest) {
        if (!WaitReadable(client))
            break;
        int got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        request.append(buffer, got);
    }
    // Request line: METHOD SP target SP version.
    std::string target;
    std::size_t first = request.find(' ');
    if (first != std::string::npos) {
        std::size_t second = request.find(' ', first + 1);
        if (second != std::string::npos)
            target = request.substr(first + 1, second - first - 1);
    }

    Mode mode;
    Options options;
    Reply document;
    bool known = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!target.empty())
            m_requests.push_back(Received{sequence, target, request.substr(0, request.find("\r\n\r\n")),
                                          std::chrono::steady_clock::now()});
        mode = m_mode;
        options = m_options;
        std::string path = target.substr(0, target.find('?'));
        auto found = m_documents.find(target);
        if (found == m_documents.end())
            found = m_documents.find(path);
        if (found != m_documents.end()) {
            document = found->second;
            known = true;
        }
    }

    const int answering = ++m_answering;
    for (int seen = m_maxAnswering.load(); answering > seen && !m_maxAnswering.compare_exchange_weak(seen, answering);) {
    }
    if (!target.empty() && mode != Mode::CloseEarly) {
        const std::string& body = document.body;
        if (!known || mode == Mode::NotFound || mode == Mode::ServerError) {
            int status = mode == Mode::ServerError ? 500 : 404;
            std::string text = status == 404 ? "404 Not Found\n" : "500 Internal Server Error\n";
            std::string reply = Head(status, "text/plain", LengthHeader(text.size())) + text;
            SendAll(client, reply.data(), reply.size());
        } else if (mode == Mode::CutOff) {
            std::string reply = Head(200, document.contentType, LengthHeader(body.size())) +
                                body.substr(0, std::min(options.cutAt, body.size()));
            SendAll(client, reply.data(), reply.size());
        } else if (mode == Mode::Chunked) {
            std::string reply = Head(200, document.contentType, "Transfer-Encoding: chunked\r\n");
            const std::size_t step = std::max<std::size_t>(options.dripBytes, 1);
            for (std::size_t at = 0; at < body.size(); at += step) {
                std::size_t n = std::min(step, body.size() - at);
                char size[32];
                std::snprintf(size, sizeof size, "%zx\r\n", n);
                reply += size;
                reply.append(body, at, n);
                reply += "\r\n";
            }
            reply += "0\r\n\r\n";
            SendAll(client, reply.data(), reply.size());
        } else {
            Answer(client, document, request, mode, options);
        }
    }
    --m_answering;
    shutdown(client, SD_SEND);
    // Let the client read what was sent before the socket goes (bounded by the timeout).
    while (WaitReadable(client) && recv(client, buffer, sizeof buffer, 0) > 0) {
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_open.erase(std::remove(m_open.begin(), m_open.end(), client), m_open.end());
    closesocket(client);
}

void HttpServerTest::SetUp()
{
    VexaTest::SetUp();
    ASSERT_TRUE(m_server.Start());
}

void HttpServerTest::TearDown()
{
    m_server.Stop();
    for (const std::string& failure : m_server.TakeThreadFailures())
        ADD_FAILURE() << failure;
    VexaTest::TearDown();
}

} // namespace vexatest
