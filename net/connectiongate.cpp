// The gate of the downloads' connections: counts in all and per server, and the queue of
// jobs waiting to start, by ticket.
#include "net/connectiongate.h"

#include <wininet.h>
#include <cwctype>
#include <map>

#include "com/check.h"
#include "com/owners.h"

namespace vexa {

namespace {

// A job holds one slot from before its request is sent until its transfer ends. It takes its
// slot only when the limits allow it and no job before it in the queue could start or is still
// starting (has a slot, has not begun to send); a job that does not yield looks past the ones
// that do.
struct ConnectionGate {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    int total = 0;
    int yielding = 0; // slots held by jobs that yield
    std::map<std::wstring, int> perServer;
    struct Queued {
        std::wstring server;
        bool yields = false;
        bool starting = false;
    };
    std::map<unsigned long, Queued> queue;
    unsigned long lastTicket = 0;
    unsigned long lastSend = 0;

    bool Free(const std::wstring& server, bool yields) const
    {
        auto found = perServer.find(server);
        const int held = found == perServer.end() ? 0 : found->second;
        if (yields)
            return total < kMaxConnections && yielding < kMaxConnections / 2 && held < kMaxConnectionsPerServer - 1;
        return total < kMaxConnections && held < kMaxConnectionsPerServer;
    }
    // True when the job of `ticket` may take a slot now (under the lock).
    bool MayStart(unsigned long ticket, const std::wstring& server, bool yields) const
    {
        if (!Free(server, yields)) return false;
        for (const auto& entry : queue) {
            if (entry.first >= ticket) break;
            if (entry.second.yields && !yields) continue;
            if (entry.second.starting || Free(entry.second.server, entry.second.yields)) return false;
        }
        return true;
    }
};

ConnectionGate& Gate()
{
    static ConnectionGate gate;
    return gate;
}

} // namespace

std::wstring ServerOf(const std::wstring& url)
{
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts) || !parts.lpszHostName)
        return std::wstring();
    std::wstring server(parts.lpszHostName, parts.dwHostNameLength);
    for (wchar_t& c : server) c = static_cast<wchar_t>(std::towlower(c));
    return server + L":" + std::to_wstring(parts.nPort);
}

unsigned long EnqueueConnection(const std::wstring& server, bool yields) noexcept
{
    ConnectionGate& gate = Gate();
    srwlock_exclusive_guard held(gate.lock);
    const unsigned long ticket = ++gate.lastTicket;
    VEXA_TRY
        ConnectionGate::Queued& queued = gate.queue[ticket];
        queued.server = server;
        queued.yields = yields;
        return ticket;
    VEXA_CATCH_RETURN(0)
}

void DequeueConnection(unsigned long ticket) noexcept
{
    ConnectionGate& gate = Gate();
    bool queued = false;
    {
        srwlock_exclusive_guard held(gate.lock);
        queued = gate.queue.erase(ticket) != 0;
    }
    if (queued) WakeAllConditionVariable(&gate.changed);
}

void WakeConnectionWaiters() noexcept { WakeAllConditionVariable(&Gate().changed); }

ConnectionSlot::~ConnectionSlot()
{
    DequeueConnection(m_ticket);
    if (!m_held) return;
    ConnectionGate& gate = Gate();
    {
        srwlock_exclusive_guard held(gate.lock);
        --gate.total;
        if (m_yields) --gate.yielding;
        auto found = gate.perServer.find(m_server);
        if (found != gate.perServer.end() && --found->second <= 0)
            gate.perServer.erase(found);
    }
    WakeAllConditionVariable(&gate.changed);
}

bool ConnectionSlot::Acquire(const std::wstring& server, HANDLE cancel, ULONGLONG deadline)
{
    // Copied before anything is counted: a copy that throws leaves no slot taken.
    m_server = server;
    ConnectionGate& gate = Gate();
    srwlock_exclusive_guard held(gate.lock);
    auto queued = gate.queue.find(m_ticket);
    m_yields = queued != gate.queue.end() && queued->second.yields;
    for (;;) {
        if (gate.MayStart(m_ticket, server, m_yields))
            break;
        if (WaitForSingleObject(cancel, 0) == WAIT_OBJECT_0 || GetTickCount64() >= deadline)
            return false;
        SleepConditionVariableSRW(&gate.changed, &gate.lock, 100, 0);
    }
    ++gate.perServer[server];
    ++gate.total;
    if (m_yields) ++gate.yielding;
    queued = gate.queue.find(m_ticket);
    if (queued != gate.queue.end()) queued->second.starting = true;
    m_held = true;
    return true;
}

unsigned long ConnectionSlot::BeginSend() noexcept
{
    ConnectionGate& gate = Gate();
    unsigned long order = 0;
    {
        srwlock_exclusive_guard held(gate.lock);
        order = ++gate.lastSend;
        gate.queue.erase(m_ticket);
    }
    WakeAllConditionVariable(&gate.changed);
    return order;
}

} // namespace vexa
