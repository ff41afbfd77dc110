// A loopback ftp server for tests: passive mode only, one connection at a time on its own
// thread, canned files by path (USER, PASS, TYPE, SIZE, PASV, RETR, QUIT). Silent, it accepts
// connections and never says a word. Every wait in it is bounded.
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
    ~FtpServer();
    bool Start();
    void Serve(const std::string& path, const std::string& body) { std::lock_guard<std::mutex> held(m_lock); m_files[path] = body; }
    std::string Url(const std::string& path) const { return "ftp://127.0.0.1:" + std::to_string(m_port) + path; }
    std::string Log() const { std::lock_guard<std::mutex> held(m_lock); return m_log; } // the commands, one a line

private:
    void Session(UINT_PTR client);
    const bool m_silent;
    UINT_PTR m_listener = ~UINT_PTR(0);
    unsigned short m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
    mutable std::mutex m_lock;
    std::map<std::string, std::string> m_files;
    std::string m_log;
};

} // namespace vexatest
