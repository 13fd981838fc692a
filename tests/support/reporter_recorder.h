// A transfer-engine reporter (IHttpReporter) that records every call, with the thread it came on.
#pragma once

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "httpdownload/httppublic.h"

namespace kttest {

struct REPORT {
    char chKind;  // F finished, E failed, M message, S status, P progress
    long nId;
    double dValue;  // the result, message, status or progress value (0 for F)
    std::thread::id thread;
};

// Thread-safe. The hook, when set, runs inside each call after it is recorded (outside the lock),
// for tests of what a reporter may do from its notification.
class CReporterRecorder : public IHttpReporter {
public:
    int32_t OnRequestFinished(long nId) override { return Add('F', nId, 0); }
    int32_t OnRequestFailed(long nId, int32_t nResult) override { return Add('E', nId, nResult); }
    int32_t OnRequestMessage(long nId, int32_t nValue) override { return Add('M', nId, nValue); }
    int32_t OnRequestStatus(long nId, int32_t nValue) override { return Add('S', nId, nValue); }
    int32_t OnRequestProgress(long nId, double dValue) override { return Add('P', nId, dValue); }

    std::vector<REPORT> Reports() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_vecReports;
    }
    // Calls of a kind, for one request id or (nId < 0) for all.
    size_t Count(char chKind, long nId = -1) const {
        size_t n = 0;
        for (const REPORT& r : Reports()) n += r.chKind == chKind && (nId < 0 || r.nId == nId);
        return n;
    }
    size_t Terminals(long nId = -1) const { return Count('F', nId) + Count('E', nId); }
    // What the last terminal call said: 0 for finished, else the result; 1 when none came.
    int32_t Outcome(long nId = -1) const {
        const std::vector<REPORT> vec = Reports();
        for (auto it = vec.rbegin(); it != vec.rend(); ++it) {
            if ((it->chKind == 'F' || it->chKind == 'E') && (nId < 0 || it->nId == nId))
                return static_cast<int32_t>(it->dValue);
        }
        return 1;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecReports.clear();
    }

    std::function<void(const REPORT&)> fnHook;

private:
    int32_t Add(char chKind, long nId, double dValue) {
        const REPORT report{chKind, nId, dValue, std::this_thread::get_id()};
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_vecReports.push_back(report);
        }
        if (fnHook) fnHook(report);
        return 0;
    }

    mutable std::mutex m_mutex;
    std::vector<REPORT> m_vecReports;
};

}  // namespace kttest
