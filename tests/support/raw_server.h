// Raw-socket loopback server for replies no well-behaved HTTP library produces: connections
// closed without an answer, requests that are never answered, bodies cut short, connections
// dropped in the middle of a reply.
#pragma once

#include <deque>
#include <string>
#include <utility>

#include "support/net_util.h"

namespace kttest {

// What the server does with one accepted connection: read the request, then answer nothing until
// the server stops (a stall), or send the first nLimit bytes of strReply and end the connection.
struct RAW_ACTION {
    bool bStall = true;
    std::string strReply;
    size_t nLimit = static_cast<size_t>(-1);

    // Closes without answering.
    static RAW_ACTION CloseAfterRequest() { return Reply(std::string()); }
    static RAW_ACTION Stall() { return RAW_ACTION(); }
    // Sends strBytes whole, then closes.
    static RAW_ACTION Reply(std::string strBytes) { return RAW_ACTION{false, std::move(strBytes)}; }
    // Sends the first nBytes of strBytes, then closes (a drop at byte nBytes).
    static RAW_ACTION Drop(std::string strBytes, size_t nBytes) {
        return RAW_ACTION{false, std::move(strBytes), nBytes};
    }
};

// The raw server. Construction starts it (check IsRunning()), destruction stops it. Each
// connection runs on its own thread, so a stalled one does not block the next. All methods are
// thread-safe. Not copyable or movable.
//
// A connection the client closes before its first byte (a trial connection) is no request: it
// takes no action and records nothing; ConnectionCount still counts it.
//
// A request is read as CHttpServer frames it (head, then a Content-Length body); those bytes are
// recorded.
class CRawServer : public CLoopbackServer {
public:
    // Starts with the default action Stall.
    CRawServer();
    ~CRawServer();

    // Action for connections without a queued one.
    void SetDefaultAction(RAW_ACTION action);
    // Queues an action for the next accepted connection (first in, first out).
    void QueueAction(RAW_ACTION action);

private:
    void Serve(int nFd, size_t nIndex);

    RAW_ACTION m_defaultAction;
    std::deque<RAW_ACTION> m_queActions;
    size_t m_nTaken = 0;  // connections that took their action
};

}  // namespace kttest
