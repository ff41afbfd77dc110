#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/ftpserver.h"

#include <cstdio>

namespace vexatest {

namespace {

// Waits up to `ms` for `s` to be readable.
bool Readable(SOCKET s, int ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &timeout) > 0;
}

SOCKET Listen(unsigned short& port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(s, 8) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        return INVALID_SOCKET;
    }
    port = ntohs(address.sin_port);
    return s;
}

void Say(SOCKET s, const std::string& line) { send(s, (line + "\r\n").data(), static_cast<int>(line.size() + 2), 0); }

} // namespace

bool FtpServer::Start()
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    m_listener = Listen(m_port);
    if (m_listener == INVALID_SOCKET) return false;
    m_thread = std::thread([this] { Loop(); });
    return true;
}

void FtpServer::Stop()
{
    if (!m_thread.joinable()) return;
    m_stopping = true;
    m_thread.join();
    closesocket(m_listener);
    WSACleanup();
}

void FtpServer::Serve(const std::string& path, const std::string& body)
{
    std::lock_guard<std::mutex> held(m_lock);
    m_files[path] = body;
}

std::string FtpServer::Url(const std::string& path) const { return "ftp://127.0.0.1:" + std::to_string(m_port) + path; }

std::string FtpServer::Log() const
{
    std::lock_guard<std::mutex> held(m_lock);
    return m_log;
}

void FtpServer::Loop()
{
    while (!m_stopping) {
        if (!Readable(m_listener, 100)) continue;
        SOCKET client = accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) continue;
        if (m_silent) {
            while (!m_stopping) Sleep(50);
        } else {
            Session(client);
        }
        closesocket(client);
    }
}

void FtpServer::Session(Socket client)
{
    SOCKET passive = INVALID_SOCKET;
    Say(client, "220 test server");
    std::string received;
    for (int idle = 0; !m_stopping && idle < 50;) {
        const std::size_t end = received.find("\r\n");
        if (end == std::string::npos) {
            char buffer[512];
            const int n = Readable(client, 100) ? recv(client, buffer, sizeof buffer, 0) : -1;
            if (n == 0) break;
            if (n > 0) received.append(buffer, n), idle = 0;
            else ++idle;
            continue;
        }
        const std::string line = received.substr(0, end);
        received.erase(0, end + 2);
        const std::string verb = line.substr(0, line.find(' '));
        const std::string argument = line.size() > verb.size() ? "/" + line.substr(verb.size() + 1) : "";
        std::string body;
        bool found = false;
        {
            std::lock_guard<std::mutex> held(m_lock);
            m_log += line + "\n";
            found = m_files.count(argument) != 0;
            if (found) body = m_files[argument];
        }
        if (verb == "USER") Say(client, "331 password please");
        else if (verb == "PASS") Say(client, "230 logged in");
        else if (verb == "TYPE") Say(client, "200 binary");
        else if (verb == "SIZE") Say(client, found ? "213 " + std::to_string(body.size()) : "550 no such file");
        else if (verb == "RETR") Say(client, found ? Retrieve(client, passive, body) : "550 no such file");
        else if (verb == "QUIT") break;
        else if (verb != "PASV") Say(client, "502 not here");
        else {
            if (passive != INVALID_SOCKET) closesocket(passive);
            unsigned short port = 0;
            passive = Listen(port);
            char reply[80];
            std::snprintf(reply, sizeof reply, "227 passive (127,0,0,1,%u,%u)", port >> 8, port & 255);
            Say(client, reply);
        }
    }
    if (passive != INVALID_SOCKET) closesocket(passive);
}

// Sends `body` over the passive connection; the reply that ends the transfer.
std::string FtpServer::Retrieve(Socket client, Socket& passive, const std::string& body)
{
    if (passive == INVALID_SOCKET || !Readable(passive, 2000)) return "425 no data connection";
    Say(client, "150 sending");
    SOCKET data = accept(passive, nullptr, nullptr);
    closesocket(passive);
    passive = INVALID_SOCKET;
    if (data == INVALID_SOCKET) return "425 no data connection";
    for (std::size_t sent = 0; sent < body.size();) {
        const int n = send(data, body.data() + sent, static_cast<int>(body.size() - sent), 0);
        if (n <= 0) break;
        sent += n;
    }
    closesocket(data);
    return "226 done";
}

} // namespace vexatest
