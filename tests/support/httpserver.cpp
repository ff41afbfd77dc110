#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/httpserver.h"
#include <algorithm>
#include <chrono>
#include <cstdio>

namespace vexatest {
namespace {

constexpr int kReceiveTimeoutMs = 3000;   // a client that sends no request is dropped
constexpr std::size_t kMaxRequest = 64 * 1024;

const char* StatusText(int status)
{
    switch (status) {
    case 200: return "OK";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

std::string Head(int status, const std::string& contentType, const std::string& lengthOrChunked)
{
    char line[64];
    std::snprintf(line, sizeof line, "HTTP/1.1 %d %s\r\n", status, StatusText(status));
    return std::string(line) + "Content-Type: " + contentType + "\r\n" + lengthOrChunked +
           "Cache-Control: no-cache, no-store\r\nConnection: close\r\n\r\n";
}

std::string LengthHeader(std::size_t size)
{
    return "Content-Length: " + std::to_string(size) + "\r\n";
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
    m_acceptThread = std::thread([this] { AcceptLoop(); });
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
    for (std::thread& worker : m_workers)
        if (worker.joinable())
            worker.join();
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
    std::lock_guard<std::mutex> guard(m_lock);
    m_documents[path] = Document{std::move(body), std::move(contentType)};
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

std::vector<std::string> HttpServer::Requests() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

void HttpServer::ClearRequests()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_requests.clear();
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
        m_workers.emplace_back([this, client] { Handle(client); });
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

void HttpServer::Handle(SOCKET client)
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
    Document document;
    bool known = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!target.empty())
            m_requests.push_back(target);
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
        } else if (mode == Mode::SlowDrip) {
            std::string head = Head(200, document.contentType, LengthHeader(body.size()));
            if (SendAll(client, head.data(), head.size()))
                SendSlowly(client, body, options.dripBytes, options.dripDelayMs);
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
            const std::string type = mode == Mode::WrongType ? "application/octet-stream"
                                                             : document.contentType;
            std::string reply = Head(200, type, LengthHeader(body.size())) + body;
            SendAll(client, reply.data(), reply.size());
        }
    }
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
    VexaTest::TearDown();
}

} // namespace vexatest
