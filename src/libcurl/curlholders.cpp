#include "libcurl/curlholders.h"

#include <curl/options.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/trace.h"

namespace kt {

namespace {

std::mutex g_mutexGlobal;
int g_nGlobalUsers = 0;
std::atomic<int> g_nRefusedOption{CURLOPT_LASTENTRY};

}  // namespace

bool CurlGlobal::Acquire() {
    std::lock_guard<std::mutex> lock(g_mutexGlobal);
    if (g_nGlobalUsers == 0 && curl_global_init(CURL_GLOBAL_WIN32) != CURLE_OK) return false;
    ++g_nGlobalUsers;
    return true;
}

void CurlGlobal::Release() {
    std::lock_guard<std::mutex> lock(g_mutexGlobal);
    if (g_nGlobalUsers == 0) return;
    if (--g_nGlobalUsers == 0) curl_global_cleanup();
}

bool CCurlList::Append(const char* pszLine) {
    curl_slist* pNext = curl_slist_append(m_pList, pszLine);
    if (pNext == nullptr) return false;
    m_pList = pNext;
    return true;
}

void CCurlList::Clear() {
    if (m_pList != nullptr) curl_slist_free_all(m_pList);
    m_pList = nullptr;
}

void CCurlOptions::RefuseForTest(CURLoption eOption) {
    g_nRefusedOption.store(static_cast<int>(eOption));
}

void CCurlOptions::Check(CURLoption eOption, CURLcode eCode) {
    if (static_cast<int>(eOption) == g_nRefusedOption.load(std::memory_order_relaxed))
        eCode = CURLE_UNKNOWN_OPTION;
    if (eCode == CURLE_OK) return;
    m_eCode = eCode;
    m_eFailed = eOption;
    char szName[64];
    KT_TRACE("%s() curl option %s refused: %d\n", m_pszContext, CurlOptionName(eOption, szName),
             static_cast<int>(eCode));
}

const char* CurlOptionName(CURLoption eOption, char (&szBuffer)[64]) {
    const curl_easyoption* pInfo = curl_easy_option_by_id(eOption);
    if (pInfo != nullptr && pInfo->name != nullptr) {
        std::snprintf(szBuffer, sizeof(szBuffer), "CURLOPT_%s", pInfo->name);
    } else {
        std::snprintf(szBuffer, sizeof(szBuffer), "CURLOPT_%d", static_cast<int>(eOption));
    }
    return szBuffer;
}

}  // namespace kt
