// A transfer-engine reporter (IHttpReporter) that records every call in order, with the thread it
// came on. Not locked: the engine calls reporters on the pool's thread only.
#pragma once

#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "httpdownload/httppublic.h"

namespace kttest {

struct CALL {
    char chKind;  // F finished, E failed, M message, S status, P progress
    long nId;
    double dValue;
    std::thread::id thread;
};

// The hook, when set, runs inside each call (re-entrance tests).
class CRecorder : public IHttpReporter {
public:
    int32_t OnRequestFinished(long nId) override { return Add('F', nId, 0); }
    int32_t OnRequestFailed(long nId, int32_t nResult) override { return Add('E', nId, nResult); }
    int32_t OnRequestMessage(long nId, int32_t nValue) override { return Add('M', nId, nValue); }
    int32_t OnRequestStatus(long nId, int32_t nValue) override { return Add('S', nId, nValue); }
    int32_t OnRequestProgress(long nId, double dValue) override { return Add('P', nId, dValue); }

    size_t Count(char chKind) const {
        size_t n = 0;
        for (const CALL& call : m_vecCalls) n += call.chKind == chKind;
        return n;
    }
    size_t Terminals() const { return Count('F') + Count('E'); }
    // Every call as (kind, id, value), for comparing a whole sequence at once.
    using HEARD = std::vector<std::tuple<char, long, double>>;
    HEARD Heard() const {
        HEARD vec;
        for (const CALL& call : m_vecCalls) vec.emplace_back(call.chKind, call.nId, call.dValue);
        return vec;
    }
    // What the last terminal call said: 0 for finished, else the code; 1 when none came.
    int32_t Outcome() const {
        for (auto it = m_vecCalls.rbegin(); it != m_vecCalls.rend(); ++it) {
            if (it->chKind == 'F' || it->chKind == 'E') return static_cast<int32_t>(it->dValue);
        }
        return 1;
    }

    std::vector<CALL> m_vecCalls;
    std::function<void(const CALL&)> m_fnHook;

private:
    int32_t Add(char chKind, long nId, double dValue) {
        m_vecCalls.push_back({chKind, nId, dValue, std::this_thread::get_id()});
        if (m_fnHook) m_fnHook(m_vecCalls.back());
        return 0;
    }
};

}  // namespace kttest
