// A loopback ftp server for tests: passive mode only, one connection at a time on its own
// thread, canned files by path; USER, PASS, TYPE, SIZE, PASV, RETR and QUIT. Silent, it
// accepts connections and never says a word. Every wait in it is bounded.
#pragma once
#include <windows.h>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace vexatest {

class FtpServer {
public:
    explicit FtpServer(bool silent = false) : m_silent(silent) {}
    ~FtpServer() { Stop(); }
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    bool Start();
    void Stop();
    void Serve(const std::string& path, const std::string& body);
    std::string Url(const std::string& path) const;
    // The commands received, in order, one a line ("RETR /f.xml").
    std::string Log() const;

private:
    using Socket = UINT_PTR;
    void Loop();
    void Session(Socket client);
    std::string Retrieve(Socket client, Socket& passive, const std::string& path);

    const bool m_silent;
    Socket m_listener = ~Socket(0);
    unsigned short m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
    mutable std::mutex m_lock;
    std::map<std::string, std::string> m_files;
    std::string m_log;
};

} // namespace vexatest
