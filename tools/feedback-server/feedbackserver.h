// ktfeedback-server: the bundled receiver of feedback posts. It takes the reporter's multipart
// form, stores each report in a numbered folder of its own and lists them on an HTML page.
//
// Layout of the store: DIR/<number>/report.json (fields in UTF-8 and what was received) and the
// attachment under a safe name beside it. Reports are assembled in DIR/.incoming and moved into
// place whole, so a number is given only to a complete report, and numbers have no gaps.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "multipart.h"

namespace ktfeedback {

class CEventServer;

struct SERVER_OPTIONS {
    std::string strHost = "127.0.0.1";
    int nPort = 0;  // 0: any free port
    std::filesystem::path dir;
    size_t nMaxBody = 64u * 1024 * 1024;  // body bytes read, whatever the transfer coding
    // From a request's first byte until its answer is out. The reporter gives up on a post after
    // 120 s itself, so a longer wait serves nobody.
    std::chrono::milliseconds requestTimeout{120000};
    // From accept until close, idle time included.
    std::chrono::milliseconds connectionTimeout{300000};
};

struct HTTP_REQUEST;
struct HTTP_RESPONSE;

class CFeedbackServer {
public:
    explicit CFeedbackServer(SERVER_OPTIONS options);
    ~CFeedbackServer();
    CFeedbackServer(const CFeedbackServer&) = delete;
    CFeedbackServer& operator=(const CFeedbackServer&) = delete;

    // Creates the store and binds; the port in use (> 0), or -1 with a message in strError.
    int Bind(std::string& strError);
    // Serves until Stop; returns false when the server could not run.
    bool Serve();
    // Any thread; Serve returns soon after.
    void Stop();
    int GetPort() const { return m_nPort; }
    // Connections open right now, and those dropped because a deadline passed.
    size_t GetOpenConnections() const;
    uint64_t GetDeadlineCloses() const;
    // Number of reports stored since start.
    uint64_t GetStoredCount() const { return m_nStored.load(); }

    // Stores one report; the number given to it, or 0 when it could not be stored.
    uint64_t StoreReport(const std::vector<FORM_PART>& vecParts, const std::string& strRemote,
                         std::string& strError);
    // The page listing the reports, newest first.
    std::string RenderIndex() const;

private:
    uint64_t FirstFreeNumber() const;

    void HandlePost(const HTTP_REQUEST& req, HTTP_RESPONSE& res);
    void HandleGet(const HTTP_REQUEST& req, HTTP_RESPONSE& res) const;

    SERVER_OPTIONS m_options;
    std::unique_ptr<CEventServer> m_pServer;
    int m_nPort = -1;
    std::mutex m_mutexNumber;
    uint64_t m_nNextNumber = 1;
    std::atomic<uint64_t> m_nStored{0};
    std::atomic<uint64_t> m_nIncoming{0};
};

// Formats a report number as its folder name (six digits, more when needed).
std::string ReportFolderName(uint64_t nNumber);

}  // namespace ktfeedback
