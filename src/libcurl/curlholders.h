// libcurl held safely: owning holders for the easy handle, the multi handle and header lists, one
// helper that sets options and stops at the first one libcurl refuses (naming it in the trace),
// and the process's one place for libcurl's global initialisation and clean-up. Used by the
// transfer engine and by the Internet-function stand-in; nothing here knows either of them.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <utility>

namespace kt {

// libcurl's global state, counted: the first Acquire initialises it (with the Windows socket flag
// only), the matching last Release cleans it up. A Release without an Acquire does nothing.
// Thread-safe: two layers may start and stop from different threads.
namespace CurlGlobal {
bool Acquire();
void Release();
}  // namespace CurlGlobal

struct CURL_EASY_DELETER {
    void operator()(CURL* hCurl) const { curl_easy_cleanup(hCurl); }
};
struct CURL_MULTI_DELETER {
    void operator()(CURLM* hMulti) const { curl_multi_cleanup(hMulti); }
};
using CCurlEasy = std::unique_ptr<CURL, CURL_EASY_DELETER>;
using CCurlMulti = std::unique_ptr<CURLM, CURL_MULTI_DELETER>;

inline CCurlEasy MakeCurlEasy() {
    return CCurlEasy(curl_easy_init());
}
inline CCurlMulti MakeCurlMulti() {
    return CCurlMulti(curl_multi_init());
}

// A header list that frees itself. Append keeps the list whole when libcurl cannot grow it.
class CCurlList {
public:
    CCurlList() = default;
    ~CCurlList() { Clear(); }
    CCurlList(CCurlList&& other) noexcept : m_pList(std::exchange(other.m_pList, nullptr)) {}
    CCurlList& operator=(CCurlList&& other) noexcept {
        if (this != &other) {
            Clear();
            m_pList = std::exchange(other.m_pList, nullptr);
        }
        return *this;
    }
    CCurlList(const CCurlList&) = delete;
    CCurlList& operator=(const CCurlList&) = delete;

    bool Append(const char* pszLine);
    void Clear();
    curl_slist* Get() const { return m_pList; }
    bool Empty() const { return m_pList == nullptr; }

private:
    curl_slist* m_pList = nullptr;
};

// Sets options on an easy handle in order and stops at the first one libcurl refuses: the later
// ones are skipped, the failure is kept (code and option) and one trace line names the option,
// "<context>() curl option CURLOPT_<NAME> refused: <code>\n". A request whose options did not all
// take must not run.
class CCurlOptions {
public:
    CCurlOptions(CURL* hCurl, const char* pszContext) : m_hCurl(hCurl), m_pszContext(pszContext) {}

    template <typename VALUE>
    CCurlOptions& Set(CURLoption eOption, VALUE value) {
        if (m_eCode == CURLE_OK) Check(eOption, curl_easy_setopt(m_hCurl, eOption, value));
        return *this;
    }

    bool Ok() const { return m_eCode == CURLE_OK; }
    CURLcode Code() const { return m_eCode; }
    CURLoption FailedOption() const { return m_eFailed; }

    // The test seam: every later Set of eOption (on any handle, any thread) fails with
    // CURLE_UNKNOWN_OPTION as if libcurl had refused it. CURLOPT_LASTENTRY clears it.
    static void RefuseForTest(CURLoption eOption);

private:
    void Check(CURLoption eOption, CURLcode eCode);

    CURL* m_hCurl;
    const char* m_pszContext;
    CURLcode m_eCode = CURLE_OK;
    CURLoption m_eFailed = CURLOPT_LASTENTRY;
};

// "CURLOPT_<NAME>" of an option ("CURLOPT_<number>" for one libcurl does not name).
const char* CurlOptionName(CURLoption eOption, char (&szBuffer)[64]);

}  // namespace kt
