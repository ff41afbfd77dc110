#include <winsock2.h>

#include "tests/support/ftpserver.h"

#include <cstdio>

namespace vexatest {

namespace {

bool Readable(SOCKET s, int ms)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout{ms / 1000, (ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &timeout) > 0;
}

// A listening socket on a free loopback port.
SOCKET Listen(unsigned short& port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), size);
    listen(s, 8);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
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
    m_thread = std::thread([this] {
        while (!m_stopping) {
            SOCKET client = Readable(m_listener, 100) ? accept(m_listener, nullptr, nullptr) : INVALID_SOCKET;
            if (client != INVALID_SOCKET && !m_silent) Session(client);
            while (client != INVALID_SOCKET && m_silent && !m_stopping) Sleep(50);
            if (client != INVALID_SOCKET) closesocket(client);
        }
    });
    return m_port != 0;
}

FtpServer::~FtpServer()
{
    if (!m_thread.joinable()) return;
    m_stopping = true;
    m_thread.join();
    closesocket(m_listener);
    WSACleanup();
}

void FtpServer::Session(UINT_PTR client)
{
    SOCKET passive = INVALID_SOCKET;
    Say(client, "220 test server");
    std::string received;
    for (int idle = 0; !m_stopping && idle < 50;) {
        const std::size_t end = received.find("\r\n");
        char buffer[512];
        const int n = end != std::string::npos ? 0 : Readable(client, 100) ? recv(client, buffer, sizeof buffer, 0) : -1;
        if (end == std::string::npos) {
            if (n == 0) break;
            n > 0 ? (received.append(buffer, n), idle = 0) : ++idle;
            continue;
        }
        const std::string line = received.substr(0, end), verb = line.substr(0, line.find(' '));
        received.erase(0, end + 2);
        std::lock_guard<std::mutex> held(m_lock);
        m_log += line + "\n";
        auto file = m_files.find(line.size() > 5 ? "/" + line.substr(5) : "");
        const bool found = file != m_files.end();
        if (verb == "USER") Say(client, "331 password please");
        else if (verb == "PASS") Say(client, "230 logged in");
        else if (verb == "TYPE") Say(client, "200 binary");
        else if (verb == "SIZE") Say(client, found ? "213 " + std::to_string(file->second.size()) : "550 no such file");
        else if (verb == "QUIT") break;
        else if (verb == "PASV") {
            unsigned short port = 0;
            if (passive != INVALID_SOCKET) closesocket(passive);
            passive = Listen(port);
            char reply[64];
            std::snprintf(reply, sizeof reply, "227 passive (127,0,0,1,%u,%u)", port >> 8, port & 255);
            Say(client, reply);
        } else if (verb != "RETR" || !found || passive == INVALID_SOCKET || !Readable(passive, 2000)) {
            Say(client, verb == "RETR" ? "550 no such file" : "502 not here");
        } else {
            Say(client, "150 sending");
            SOCKET data = accept(passive, nullptr, nullptr);
            send(data, file->second.data(), static_cast<int>(file->second.size()), 0);
            closesocket(data);
            Say(client, "226 done");
        }
    }
    if (passive != INVALID_SOCKET) closesocket(passive);
}

} // namespace vexatest
