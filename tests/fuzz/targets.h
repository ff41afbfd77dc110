// The fuzzer's targets and what they share: the loopback servers and the result of one input.
#pragma once
#include <windows.h>

#include <atomic>
#include <deque>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/fuzz/feedgen.h"
#include "tests/support/httpserver.h"


namespace vexa {
class CRssStore;
}

namespace fuzz {

// A loopback server that answers each request with bytes given verbatim (status line,
// headers and body as the fuzzer made them), then closes the connection.
class RawServer {
public:
    ~RawServer() { Stop(); }
    bool Start();
    void Stop();
    void Answer(const std::string& path, std::string response);
    std::string Url(const std::string& path) const;
    std::vector<std::string> Requests();
    // Whether the last answer sent said that the connection closes after it.
    bool LastAnswerClosed();
    // What the server's thread caught and ended on since the last call.
    std::vector<std::string> TakeThreadFailures();

private:
    void Loop();
    UINT_PTR m_listener = ~UINT_PTR(0);
    unsigned short m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_lock;
    static constexpr std::size_t kKeptAnswers = 16;
    std::map<std::string, std::string> m_answers;
    std::deque<std::string> m_order; // the paths of m_answers, oldest first
    std::vector<std::string> m_requests;
    std::vector<std::string> m_failures;
    bool m_lastClosed = true;
};

struct Context {
    vexatest::HttpServer server;
    RawServer raw;
};
extern Context* g_ctx;

struct Result {
    std::string failure; // empty: the input passed its oracles
    std::string bytes;   // the input, for the failure file
    // Each document that the input had the reader parse: the reader's own share of the
    // process's memory is measured with bare parses of them.
    std::vector<std::string> documents;
    void Fail(const std::string& what);
    void SetBytes(const std::string& bytes);
};

struct Target {
    const char* name;
    void (*run)(std::uint64_t inputSeed, Result& result);
    void (*checkpoint)(); // called before resources are measured (may be null)
};

const std::vector<Target>& AllTargets();

// Live bytes of the program's own C++ heap (Vexa's code included).
long long HeapBytes();

void RunFeeds(std::uint64_t inputSeed, Result& result);
void RunHttp(std::uint64_t inputSeed, Result& result);
void RunRegistry(std::uint64_t inputSeed, Result& result);
void RunStream(std::uint64_t inputSeed, Result& result);
void RunCalls(std::uint64_t inputSeed, Result& result);
void RunOpml(std::uint64_t inputSeed, Result& result);
void RunHtml(std::uint64_t inputSeed, Result& result);
void RunPicture(std::uint64_t inputSeed, Result& result);
void RestartServers();

// The records a store holds, in key order.
std::vector<StoredRecord> ReadStore(const vexa::CRssStore& store);

// Writes the feed list key: every value as given (name, type, raw bytes).
struct RegValue {
    std::wstring name;
    DWORD type;
    std::string data;
};
void WriteFeedList(const std::vector<RegValue>& values);

} // namespace fuzz
