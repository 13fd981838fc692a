// ktfeedback-server: the bundled receiver of feedback posts. It takes the reporter's multipart
// form, stores each report in a numbered folder of its own and lists them on an HTML page.
//
// Layout of the store: DIR/<number>/report.json (fields in UTF-8 and what was received) and the
// attachment under a safe name beside it. Reports are assembled in DIR/.incoming and moved into
// place whole, so a number is given only to a complete report, and numbers have no gaps.
#pragma once

#include <atomic>
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

namespace httplib {
class Server;
}

namespace ktfeedback {

// One part of a multipart/form-data body.
struct FORM_PART {
    std::string strName;
    std::optional<std::string> strFileName;  // the filename parameter, as sent
    std::string strContentType;
    std::string strData;
};

// The boundary parameter of a multipart/form-data Content-Type value; empty when the value is not
// one. The reporter's engine sends its default "application/x-www-form-urlencoded" line first and
// the form's own line behind it, so callers look at every Content-Type line.
std::string MultipartBoundary(std::string_view strContentType);

// Splits a multipart body. False when the body holds no delimiter or a part is cut short; the
// preamble before the first delimiter (the reporter sends a CR LF there) is skipped.
bool ParseMultipart(std::string_view strBody, std::string_view strBoundary,
                    std::vector<FORM_PART>& vecParts);

// A file name that can only name a file inside the report's folder: the last path component (both
// separators count), control characters and separators replaced, leading dots removed, at most 120
// bytes (never cutting a UTF-8 sequence); "attachment" when nothing usable is left. Input is UTF-8.
std::string SafeFileName(std::string_view strName);

struct SERVER_OPTIONS {
    std::string strHost = "127.0.0.1";
    int nPort = 0;  // 0: any free port
    std::filesystem::path dir;
    size_t nMaxBody = 64u * 1024 * 1024;
};

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
    // Number of reports stored since start.
    uint64_t GetStoredCount() const { return m_nStored.load(); }

    // Stores one report; the number given to it, or 0 when it could not be stored.
    uint64_t StoreReport(const std::vector<FORM_PART>& vecParts, const std::string& strRemote,
                         std::string& strError);
    // The page listing the reports, newest first.
    std::string RenderIndex() const;

private:
    uint64_t FirstFreeNumber() const;

    SERVER_OPTIONS m_options;
    std::unique_ptr<httplib::Server> m_pServer;
    int m_nPort = -1;
    int m_nListenSocket = -1;
    std::mutex m_mutexNumber;
    uint64_t m_nNextNumber = 1;
    std::atomic<uint64_t> m_nStored{0};
    std::atomic<uint64_t> m_nIncoming{0};
};

// Formats a report number as its folder name (six digits, more when needed).
std::string ReportFolderName(uint64_t nNumber);

}  // namespace ktfeedback
