#include "feedbackserver.h"

#include <httplib.h>
#include <sys/socket.h>
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

#include "platform/codepage.h"

namespace ktfeedback {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kReportFile = "report.json";
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

// The value of a parameter (name=value or name="value") inside a header value. The reporter sends
// quotation marks in paths unescaped, so a quoted value ends only at a quotation mark that the
// next parameter or the end of the line follows.
std::optional<std::string> HeaderParam(std::string_view strHeader, std::string_view strName) {
    size_t nPos = 0;
    while (true) {
        nPos = strHeader.find(';', nPos);
        if (nPos == std::string_view::npos) return std::nullopt;
        ++nPos;
        while (nPos < strHeader.size() && strHeader[nPos] == ' ') ++nPos;
        if (Lower(std::string(strHeader.substr(nPos, strName.size()))) != strName ||
            nPos + strName.size() >= strHeader.size() || strHeader[nPos + strName.size()] != '=') {
            continue;
        }
        std::string_view strValue = strHeader.substr(nPos + strName.size() + 1);
        if (!strValue.empty() && strValue.front() == '"') {
            // The closing quotation mark is the one followed by the next parameter or the end.
            for (size_t nEnd = strValue.find('"', 1); nEnd != std::string_view::npos;
                 nEnd = strValue.find('"', nEnd + 1)) {
                size_t nAfter = nEnd + 1;
                while (nAfter < strValue.size() && strValue[nAfter] == ' ') ++nAfter;
                if (nAfter == strValue.size() || strValue[nAfter] == ';') {
                    return std::string(strValue.substr(1, nEnd - 1));
                }
            }
            return std::string(strValue.substr(1));
        }
        return std::string(strValue.substr(0, strValue.find(';')));
    }
}

}  // namespace

std::string MultipartBoundary(std::string_view strContentType) {
    const std::string strLower = Lower(std::string(strContentType));
    if (strLower.rfind("multipart/form-data", 0) != 0) return {};
    return HeaderParam(strContentType, "boundary").value_or("");
}

bool ParseMultipart(std::string_view strBody, std::string_view strBoundary,
                    std::vector<FORM_PART>& vecParts) {
    vecParts.clear();
    if (strBoundary.empty()) return false;
    const std::string strDelim = "--" + std::string(strBoundary);
    size_t nPos = strBody.find(strDelim);
    if (nPos == std::string_view::npos) return false;
    while (true) {
        nPos += strDelim.size();
        if (strBody.substr(nPos, 2) == "--") return true;  // the closing delimiter
        if (strBody.substr(nPos, 2) != "\r\n") return false;
        nPos += 2;
        const size_t nHeadEnd = strBody.find("\r\n\r\n", nPos);
        if (nHeadEnd == std::string_view::npos) return false;
        FORM_PART part;
        std::string_view strHead = strBody.substr(nPos, nHeadEnd - nPos);
        while (!strHead.empty()) {
            const size_t nEol = strHead.find("\r\n");
            const std::string_view strLine = strHead.substr(0, nEol);
            strHead =
                nEol == std::string_view::npos ? std::string_view() : strHead.substr(nEol + 2);
            const size_t nColon = strLine.find(':');
            if (nColon == std::string_view::npos) continue;
            const std::string strName = Lower(std::string(strLine.substr(0, nColon)));
            std::string_view strValue = strLine.substr(nColon + 1);
            while (!strValue.empty() && strValue.front() == ' ') strValue.remove_prefix(1);
            if (strName == "content-disposition") {
                part.strName = HeaderParam(strValue, "name").value_or("");
                // "name" must not match the tail of "filename": HeaderParam only looks at
                // parameter starts, after a semicolon.
                part.strFileName = HeaderParam(strValue, "filename");
            } else if (strName == "content-type") {
                part.strContentType = std::string(strValue);
            }
        }
        const size_t nDataStart = nHeadEnd + 4;
        const size_t nNext = strBody.find("\r\n" + strDelim, nDataStart);
        if (nNext == std::string_view::npos) return false;
        part.strData = std::string(strBody.substr(nDataStart, nNext - nDataStart));
        vecParts.push_back(std::move(part));
        nPos = nNext + 2;
    }
}

std::string ReportFolderName(uint64_t nNumber) {
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%06llu", static_cast<unsigned long long>(nNumber));
    return sz;
}

std::string SafeFileName(std::string_view strName) {
    const size_t nSep = strName.find_last_of("/\\");
    std::string_view strBase = nSep == std::string_view::npos ? strName : strName.substr(nSep + 1);
    std::string out;
    for (unsigned char c : strBase) {
        if (c < 0x20 || c == 0x7F || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
            c == '>' || c == '|') {
            out += '_';
        } else {
            out += static_cast<char>(c);
        }
    }
    const size_t nFirst = out.find_first_not_of(". ");
    out.erase(0, nFirst == std::string::npos ? out.size() : nFirst);
    if (out.size() > 120) {
        size_t nCut = 120;
        // Back off to the start of a UTF-8 sequence.
        while (nCut > 0 && (static_cast<unsigned char>(out[nCut]) & 0xC0) == 0x80) --nCut;
        out.resize(nCut);
    }
    if (out.empty() || out == kReportFile) out = "attachment" + out;
    return out;
}

CFeedbackServer::CFeedbackServer(SERVER_OPTIONS options)
    : m_options(std::move(options)), m_pServer(std::make_unique<httplib::Server>()) {}

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

    httplib::Server& svr = *m_pServer;
    svr.set_payload_max_length(m_options.nMaxBody);
    // One line per request on stderr: what support staff look at when a report did not arrive.
    svr.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        const std::string strIn = req.get_header_value("Content-Length");
        std::fprintf(stderr, "%s %s %s -> %d (%s bytes in, %zu out)\n", req.remote_addr.c_str(),
                     req.method.c_str(), req.path.c_str(), res.status,
                     strIn.empty() ? "0" : strIn.c_str(), res.body.size());
    });
    svr.set_error_handler([this](const httplib::Request&, httplib::Response& res) {
        if (res.status == 413) {
            res.set_content(Utf8ToAnsi("反馈内容超过 " + std::to_string(m_options.nMaxBody) +
                                       " 字节的上限，未保存。\n"),
                            TextContentType());
        } else if (res.body.empty()) {
            res.set_content(std::to_string(res.status) + "\n", "text/plain");
        }
    });
    // The body is read here rather than by the library: the reporter's engine sends a default
    // "application/x-www-form-urlencoded" line before the form's own, and the library would hold
    // such a body to its small limit for urlencoded forms.
    svr.Post(".*", [this](const httplib::Request& req, httplib::Response& res,
                          const httplib::ContentReader& reader) {
        std::vector<FORM_PART> vecParts;
        if (req.is_multipart_form_data()) {
            // The multipart line came first: the library splits the form itself.
            reader(
                [&vecParts](const httplib::MultipartFormData& file) {
                    FORM_PART part;
                    part.strName = file.name;
                    if (!file.filename.empty() || file.name == "ATTACH_FILE_NAME") {
                        part.strFileName = file.filename;
                    }
                    part.strContentType = file.content_type;
                    vecParts.push_back(std::move(part));
                    return true;
                },
                [&vecParts](const char* pData, size_t nLen) {
                    if (!vecParts.empty()) vecParts.back().strData.append(pData, nLen);
                    return true;
                });
            if (res.status >= 400) return;
        } else {
            std::string strBody;
            reader([&strBody](const char* pData, size_t nLen) {
                strBody.append(pData, nLen);
                return true;
            });
            if (res.status >= 400) return;
            // The last multipart line names the boundary.
            std::string strBoundary;
            for (auto [it, end] = req.headers.equal_range("Content-Type"); it != end; ++it) {
                const std::string strFound = MultipartBoundary(it->second);
                if (!strFound.empty()) strBoundary = strFound;
            }
            if (strBoundary.empty() || !ParseMultipart(strBody, strBoundary, vecParts)) {
                res.status = 400;
                res.set_content(Utf8ToAnsi("需要 multipart/form-data 表单。\n"), TextContentType());
                return;
            }
        }
        std::string strError;
        const uint64_t nNumber = StoreReport(vecParts, req.remote_addr, strError);
        if (nNumber == 0) {
            res.status = 500;
            res.set_content(Utf8ToAnsi("保存失败: " + strError + "\n"), TextContentType());
            return;
        }
        // The reporter shows the reply as a C string and gives up its last byte for the
        // terminator: the line end is that byte.
        res.set_content(Utf8ToAnsi("反馈已收到，编号 " + ReportFolderName(nNumber) + "\n"),
                        TextContentType());
    });
    svr.Get("/", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(RenderIndex(), "text/html; charset=utf-8");
    });
    svr.Get(R"(/reports/(\d+)/([^/]+))",
            [this](const httplib::Request& req, httplib::Response& res) {
                const std::string strFolder = req.matches[1];
                const std::string strFile = req.matches[2];
                std::string strData;
                if (strFile != SafeFileName(strFile) || strFile == kReportFile ||
                    !ReadFile(m_options.dir / strFolder / strFile, strData)) {
                    res.status = 404;
                    return;
                }
                res.set_content(std::move(strData), MimeOfName(strFile));
            });

    // The library listens with a backlog of 5: a burst of reports (fifty clients posting at once)
    // would overflow it and see connections dropped. Keep the socket to widen the backlog.
    svr.set_socket_options([this](socket_t sock) {
        int nYes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &nYes, sizeof(nYes));
        m_nListenSocket = sock;
    });
    m_nPort = m_options.nPort == 0
                  ? svr.bind_to_any_port(m_options.strHost)
                  : (svr.bind_to_port(m_options.strHost, m_options.nPort) ? m_options.nPort : -1);
    if (m_nPort > 0 && m_nListenSocket >= 0) ::listen(m_nListenSocket, 256);
    if (m_nPort <= 0) {
        strError = "cannot listen on " + m_options.strHost + ":" + std::to_string(m_options.nPort);
        m_nPort = -1;
    }
    return m_nPort;
}

bool CFeedbackServer::Serve() {
    return m_nPort > 0 && m_pServer->listen_after_bind();
}

void CFeedbackServer::Stop() {
    if (m_pServer) m_pServer->stop();
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
            std::string strSafe = SafeFileName(AnsiToUtf8(*part.strFileName));
            // Two files of one report with the same name keep both.
            for (int n = 2; fs::exists(staging / strSafe, ec); ++n) {
                strSafe = std::to_string(n) + "-" + SafeFileName(AnsiToUtf8(*part.strFileName));
            }
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
