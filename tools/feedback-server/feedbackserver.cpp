#include "feedbackserver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "eventserver.h"
#include "platform/codepage.h"

namespace ktfeedback {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kIncomingDir = ".incoming";

// Text in the configured code page becomes UTF-8 for JSON and HTML.
std::string AnsiToUtf8(std::string_view str) {
    return kt::ConvertCodePage(str, kt::AnsiCodePageName(), "UTF-8");
}
std::string Utf8ToAnsi(std::string_view str) {
    return kt::ConvertCodePage(str, "UTF-8", kt::AnsiCodePageName());
}
std::string TextContentType() {
    return "text/plain; charset=" + kt::AnsiCodePageName();
}

bool IsAllDigits(std::string_view str) {
    return !str.empty() &&
           std::all_of(str.begin(), str.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string NowIso8601() {
    const std::time_t now = std::time(nullptr);
    std::tm tmNow{};
    gmtime_r(&now, &tmNow);
    char sz[32];
    std::strftime(sz, sizeof(sz), "%Y-%m-%dT%H:%M:%SZ", &tmNow);
    return sz;
}

// Written by one writer into a folder nobody else sees yet; owner-only, since a screenshot may
// show private data.
bool WriteFile(const fs::path& path, std::string_view strData) {
    FILE* pFile = std::fopen(path.c_str(), "wbx");
    if (!pFile) return false;
    ::fchmod(::fileno(pFile), 0600);
    const bool bOk = std::fwrite(strData.data(), 1, strData.size(), pFile) == strData.size();
    return std::fclose(pFile) == 0 && bOk;
}

bool ReadFile(const fs::path& path, std::string& strData) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    strData = ss.str();
    return true;
}

std::string HtmlEscape(std::string_view str) {
    std::string out;
    out.reserve(str.size());
    for (char c : str) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Percent-encodes a UTF-8 path segment for an href.
std::string UrlEncode(std::string_view str) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : str) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string Lower(std::string str) {
    for (char& c : str) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return str;
}

std::string MimeOfName(const std::string& strName) {
    const std::string strExt = Lower(fs::path(strName).extension().string());
    if (strExt == ".jpg" || strExt == ".jpeg") return "image/jpeg";
    if (strExt == ".png") return "image/png";
    if (strExt == ".gif") return "image/gif";
    if (strExt == ".bmp") return "image/bmp";
    return "application/octet-stream";
}

// The reporter's fields in the order its form sends them, with what the page calls them.
struct FIELD_LABEL {
    const char* pszName;
    const char* pszLabel;
};
constexpr FIELD_LABEL kFieldLabels[] = {
    {"F001V_YY_RDQ012", "客户姓名"}, {"F002V_YY_RDQ012", "客户邮箱"},
    {"F003V_YY_RDQ012", "联系电话"}, {"F005V_YY_RDQ013", "问题标题"},
    {"F007C_YY_RDQ013", "问题描述"}, {"USER_ID_YY_RDQ012", "用户标识"},
    {"PAGE_TYPE", "附件类型"},       {"DATA_FROM", "来源"},
};

}  // namespace

std::string ReportFolderName(uint64_t nNumber) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%06llu", static_cast<unsigned long long>(nNumber));
    return sz;
}

CFeedbackServer::CFeedbackServer(SERVER_OPTIONS options) : m_options(std::move(options)) {}

CFeedbackServer::~CFeedbackServer() {
    Stop();
}

uint64_t CFeedbackServer::FirstFreeNumber() const {
    uint64_t nMax = 0;
    std::error_code ec;
    for (fs::directory_iterator it(m_options.dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string strName = it->path().filename().string();
        if (IsAllDigits(strName) && strName.size() < 19) {
            nMax = std::max<uint64_t>(nMax, std::stoull(strName));
        }
    }
    return nMax + 1;
}

int CFeedbackServer::Bind(std::string& strError) {
    std::error_code ec;
    fs::create_directories(m_options.dir / kIncomingDir, ec);
    if (ec) {
        strError = "cannot create " + m_options.dir.string() + ": " + ec.message();
        return -1;
    }
    // Half-assembled reports of an earlier run are not reports.
    for (fs::directory_iterator it(m_options.dir / kIncomingDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code ecRemove;
        fs::remove_all(it->path(), ecRemove);
    }
    m_nNextNumber = FirstFreeNumber();

    EVENT_SERVER_OPTIONS serverOptions;
    serverOptions.nMaxBody = m_options.nMaxBody;
    serverOptions.requestTimeout = m_options.requestTimeout;
    serverOptions.connectionTimeout = m_options.connectionTimeout;
    m_pServer = std::make_unique<CEventServer>(
        serverOptions,
        [this](const HTTP_REQUEST& req, HTTP_RESPONSE& res) {
            if (req.strMethod == "POST") {
                HandlePost(req, res);
            } else if (req.strMethod == "GET") {
                HandleGet(req, res);
            } else {
                res.nStatus = 405;
                res.strBody = "405\n";
            }
        },
        [this](HTTP_RESPONSE& res) {
            if (res.nStatus == 413) {
                res.strBody = Utf8ToAnsi("反馈内容超过 " + std::to_string(m_options.nMaxBody) +
                                         " 字节的上限，未保存。\n");
                res.strContentType = TextContentType();
            } else {
                res.strBody = std::to_string(res.nStatus) + "\n";
            }
        },
        // One line per request on stderr: what support staff look at when a report did not
        // arrive.
        [](const HTTP_REQUEST& req, const HTTP_RESPONSE& res, size_t nBodyIn) {
            std::fprintf(stderr, "%s %s %s -> %d (%zu bytes in, %zu out)\n",
                         req.strRemote.empty() ? "-" : req.strRemote.c_str(),
                         req.strMethod.empty() ? "-" : req.strMethod.c_str(),
                         req.strPath.empty() ? "-" : req.strPath.c_str(), res.nStatus, nBodyIn,
                         res.strBody.size());
        });
    m_nPort = m_pServer->Bind(m_options.strHost, m_options.nPort, strError);
    return m_nPort;
}

void CFeedbackServer::HandlePost(const HTTP_REQUEST& req, HTTP_RESPONSE& res) {
    // The last multipart Content-Type line names the boundary: the reporter's engine sends its
    // default "application/x-www-form-urlencoded" line before the form's own.
    std::string strBoundary;
    for (const std::string& strType : req.Headers("Content-Type")) {
        const std::string strFound = MultipartBoundary(strType);
        if (!strFound.empty()) strBoundary = strFound;
    }
    std::vector<FORM_PART> vecParts;
    const MultipartResult result = strBoundary.empty()
                                       ? MultipartResult::Malformed
                                       : ParseMultipart(req.strBody, strBoundary, vecParts);
    res.strContentType = TextContentType();
    if (result == MultipartResult::TooManyParts) {
        res.nStatus = 413;
        res.strBody =
            Utf8ToAnsi("表单超过 " + std::to_string(kMaxFormParts) + " 个部分的上限，未保存。\n");
        return;
    }
    if (result != MultipartResult::Ok) {
        res.nStatus = 400;
        res.strBody = Utf8ToAnsi("需要 multipart/form-data 表单。\n");
        return;
    }
    std::string strError;
    const uint64_t nNumber = StoreReport(vecParts, req.strRemote, strError);
    if (nNumber == 0) {
        res.nStatus = 500;
        res.strBody = Utf8ToAnsi("保存失败: " + strError + "\n");
        return;
    }
    // The reporter shows the reply as a C string and gives up its last byte for the terminator:
    // the line end is that byte.
    res.strBody = Utf8ToAnsi("反馈已收到，编号 " + ReportFolderName(nNumber) + "\n");
}

void CFeedbackServer::HandleGet(const HTTP_REQUEST& req, HTTP_RESPONSE& res) const {
    if (req.strPath == "/") {
        res.strBody = RenderIndex();
        res.strContentType = "text/html; charset=utf-8";
        return;
    }
    // /reports/<number>/<stored name>, and only a name the store could have given.
    constexpr std::string_view kPrefix = "/reports/";
    const std::string_view strPath = req.strPath;
    const size_t nSlash = strPath.find('/', kPrefix.size());
    if (strPath.substr(0, kPrefix.size()) == kPrefix && nSlash != std::string_view::npos) {
        const std::string strFolder(strPath.substr(kPrefix.size(), nSlash - kPrefix.size()));
        const std::string strFile(strPath.substr(nSlash + 1));
        std::string strData;
        if (IsAllDigits(strFolder) && !strFile.empty() && strFile == SafeFileName(strFile) &&
            strFile != kReportFile && ReadFile(m_options.dir / strFolder / strFile, strData)) {
            res.strBody = std::move(strData);
            res.strContentType = MimeOfName(strFile);
            return;
        }
    }
    res.nStatus = 404;
    res.strBody = "404\n";
}

bool CFeedbackServer::Serve() {
    return m_nPort > 0 && m_pServer->Serve();
}

void CFeedbackServer::Stop() {
    if (m_pServer) m_pServer->Stop();
}

size_t CFeedbackServer::GetOpenConnections() const {
    return m_pServer ? m_pServer->GetOpenConnections() : 0;
}

uint64_t CFeedbackServer::GetDeadlineCloses() const {
    return m_pServer ? m_pServer->GetDeadlineCloses() : 0;
}

uint64_t CFeedbackServer::StoreReport(const std::vector<FORM_PART>& vecParts,
                                      const std::string& strRemote, std::string& strError) {
    const fs::path staging =
        m_options.dir / kIncomingDir /
        (std::to_string(::getpid()) + "-" + std::to_string(m_nIncoming.fetch_add(1)));
    std::error_code ec;
    fs::remove_all(staging, ec);
    if (!fs::create_directory(staging, ec)) {
        strError = "cannot create " + staging.string();
        return 0;
    }

    json report;
    report["received"] = NowIso8601();
    report["remote"] = strRemote;
    report["codePage"] = kt::AnsiCodePageName();
    json fields = json::object();
    json attachments = json::array();
    std::unordered_set<std::string> setStored;
    std::unordered_map<std::string, uint64_t> mapNextCopy;
    for (const FORM_PART& part : vecParts) {
        if (!part.strFileName) {
            fields[AnsiToUtf8(part.strName)] = AnsiToUtf8(part.strData);
            continue;
        }
        json att;
        att["field"] = AnsiToUtf8(part.strName);
        att["filename"] = AnsiToUtf8(*part.strFileName);
        att["contentType"] = part.strContentType;
        att["size"] = part.strData.size();
        att["storedAs"] = nullptr;
        if (!part.strData.empty()) {
            // Two files of one report with the same name keep both: the second is "2-name", the
            // third "3-name", and each name remembers where its count stands.
            const std::string strBase = SafeFileName(AnsiToUtf8(*part.strFileName));
            std::string strSafe = strBase;
            if (setStored.count(strSafe) != 0) {
                uint64_t& nNext = mapNextCopy.try_emplace(strBase, 2).first->second;
                do {
                    strSafe = std::to_string(nNext++) + "-" + strBase;
                } while (setStored.count(strSafe) != 0);
            }
            setStored.insert(strSafe);
            if (!WriteFile(staging / strSafe, part.strData)) {
                strError = "cannot write the attachment";
                fs::remove_all(staging, ec);
                return 0;
            }
            att["storedAs"] = strSafe;
        }
        attachments.push_back(std::move(att));
    }
    report["fields"] = std::move(fields);
    report["attachments"] = std::move(attachments);

    // Numbers are handed out only to complete reports, under one lock: no gaps, no duplicates.
    std::lock_guard<std::mutex> lock(m_mutexNumber);
    for (int nTry = 0; nTry < 1000; ++nTry) {
        const uint64_t nNumber = m_nNextNumber;
        report["number"] = nNumber;
        const std::string strJson =
            report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
        fs::remove(staging / kReportFile, ec);
        if (!WriteFile(staging / kReportFile, strJson)) {
            strError = "cannot write the report";
            break;
        }
        const fs::path target = m_options.dir / ReportFolderName(nNumber);
        if (!fs::exists(target, ec)) {
            fs::rename(staging, target, ec);
            if (!ec) {
                m_nNextNumber = nNumber + 1;
                m_nStored.fetch_add(1);
                return nNumber;
            }
        }
        // Somebody put a folder of that number there by hand: take the next one.
        m_nNextNumber = nNumber + 1;
    }
    if (strError.empty()) strError = "no free report number";
    fs::remove_all(staging, ec);
    return 0;
}

std::string CFeedbackServer::RenderIndex() const {
    std::vector<std::pair<uint64_t, fs::path>> vecReports;
    std::error_code ec;
    for (fs::directory_iterator it(m_options.dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string strName = it->path().filename().string();
        if (IsAllDigits(strName) && strName.size() < 19) {
            vecReports.emplace_back(std::stoull(strName), it->path());
        }
    }
    std::sort(vecReports.begin(), vecReports.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });

    std::string html =
        "<!DOCTYPE html>\n<html lang=\"zh\"><head><meta charset=\"utf-8\">"
        "<title>问题反馈</title><style>body{font-family:sans-serif;margin:2em}"
        "section{border:1px solid #ccc;border-radius:6px;padding:1em;margin-bottom:1em}"
        "th{text-align:left;padding-right:1em;vertical-align:top}"
        "pre{margin:0;white-space:pre-wrap}img{max-width:320px;border:1px solid #999}"
        "</style></head><body>\n<h1>问题反馈</h1>\n<p>" +
        std::to_string(vecReports.size()) + " 份反馈，最新的在前。</p>\n";
    for (const auto& [nNumber, path] : vecReports) {
        std::string strJson;
        json report;
        if (!ReadFile(path / kReportFile, strJson)) continue;
        report = json::parse(strJson, nullptr, false);
        if (report.is_discarded()) continue;
        const std::string strFolder = path.filename().string();
        html += "<section id=\"r" + strFolder + "\"><h2>#" + strFolder + "</h2>\n<table>\n";
        const json& fields = report.value("fields", json::object());
        html += "<tr><th>收到</th><td>" + HtmlEscape(report.value("received", "")) + "</td></tr>\n";
        for (const FIELD_LABEL& label : kFieldLabels) {
            if (!fields.contains(label.pszName) || !fields[label.pszName].is_string()) continue;
            html += "<tr><th>" + std::string(label.pszLabel) + "</th><td><pre>" +
                    HtmlEscape(fields[label.pszName].get<std::string>()) + "</pre></td></tr>\n";
        }
        for (const json& att : report.value("attachments", json::array())) {
            html += "<tr><th>附件</th><td>" + HtmlEscape(att.value("filename", "")) + " (" +
                    std::to_string(att.value("size", 0)) + " 字节)";
            if (att.contains("storedAs") && att["storedAs"].is_string()) {
                const std::string strStored = att["storedAs"].get<std::string>();
                const std::string strHref = "/reports/" + strFolder + "/" + UrlEncode(strStored);
                if (MimeOfName(strStored).rfind("image/", 0) == 0) {
                    html += "<br><a href=\"" + strHref + "\"><img loading=\"lazy\" src=\"" +
                            strHref + "\" alt=\"" + HtmlEscape(strStored) + "\"></a>";
                } else {
                    html += " <a href=\"" + strHref + "\">下载</a>";
                }
            }
            html += "</td></tr>\n";
        }
        html += "</table></section>\n";
    }
    html += "</body></html>\n";
    return html;
}

}  // namespace ktfeedback
