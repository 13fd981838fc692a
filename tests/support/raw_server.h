// Raw-socket loopback server for replies no well-behaved HTTP library produces: connections
// closed without an answer, requests that are never answered, bodies cut short, connections
// dropped in the middle of a reply.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "support/net_util.h"

namespace kttest {

// What the server does with one accepted connection.
struct RAW_ACTION {
    enum class EKind {
        kCloseAfterRequest,  // read the request, then close without answering
        kStall,              // read the request, then answer nothing until the server stops
        kReply,              // read the request, send strReply (up to nLimit bytes), close
    };
    EKind eKind = EKind::kStall;
    std::string strReply;
    size_t nLimit = static_cast<size_t>(-1);  // kReply: bytes of strReply actually sent
    size_t nAfterRequests = 0;  // kReply: wait until the server has read this many requests

    static RAW_ACTION CloseAfterRequest();
    static RAW_ACTION Stall();
    // Sends strBytes whole, then closes.
    static RAW_ACTION Reply(std::string strBytes);
    // Sends the first nBytes of strBytes, then closes (a drop at byte nBytes).
    static RAW_ACTION Drop(std::string strBytes, size_t nBytes);
};

// The raw server. Construction starts it (check IsRunning()), destruction stops it. Each
// connection runs on its own thread, so a stalled one does not block the next. All methods are
// thread-safe. Not copyable or movable.
//
// A connection the client closes before its first byte (a trial connection) is no request: it
// takes no action and records nothing; ConnectionCount still counts it.
//
// A request is read as CHttpServer frames it (head, then a Content-Length or chunked body, no
// interim answer to an Expect); those bytes are recorded.
class CRawServer : public CLoopbackServer<std::string> {
public:
    // Starts with the default action Stall.
    CRawServer();
    ~CRawServer();

    // Action for connections without a queued one.
    void SetDefaultAction(RAW_ACTION action);
    // Queues an action for the next accepted connection (first in, first out).
    void QueueAction(RAW_ACTION action);
    // Raw bytes of request nIndex in reading order; empty when out of range.
    std::string Request(size_t nIndex) const;

private:
    void Serve(int nFd, size_t nIndex);

    RAW_ACTION m_defaultAction;
    std::deque<RAW_ACTION> m_queActions;
    size_t m_nTaken = 0;  // connections that took their action
};

}  // namespace kttest
