// The transfer engine's public surface: flat functions over one process-wide pool of numbered
// requests. Results reach the caller's IHttpReporter on the thread that initialised the pool, from
// its message loop (kt::PumpMessages or the application's loop).
//
// Buffers returned by HttpPool_GetData come from std::malloc; the caller frees them with std::free.
#pragma once

#include <cstdint>
#include <string>

#include "httpdownload/httpreporter.h"

// 1 when the pool and its window stand. Runs a full HttpPool_Uninitialize first. The calling thread
// receives every notification and must pump its messages.
int HttpPool_Initialize(void* hInstance);
void HttpPool_Uninitialize();

// A new or reused request id; -1 when the pool is down.
long HttpPool_NewRequest();
// GET when the form text is null or empty, else a urlencoded POST of it. *pId: an id to reuse or
// -1; receives the id used. 0 when started, else a code (-100 when no id could be had).
int HttpPool_RequestForm(long* pId, const char16_t* pszUrl, const char16_t* pszForm,
                         IHttpReporter* pReporter, uint32_t dwTimeout, int32_t nReserved1,
                         int32_t nReserved2);
// GET for a length of 0, else a POST of the bytes (copied before the call returns).
int HttpPool_RequestData(long* pId, const char16_t* pszUrl, const void* pData, uint32_t nLength,
                         IHttpReporter* pReporter, uint32_t dwTimeout, int32_t nReserved1,
                         int32_t nReserved2);
// Stops the request (or download) and waits for it; its reporter hears -12 (a download: 0).
int HttpPool_Cancel(long nId);
// Stops the request and parks its id for reuse; nothing more is reported for it.
int HttpPool_Release(long nId);
// A std::malloc'd copy of the reply body, or null with *pLength 0.
char* HttpPool_GetData(long nId, long* pLength);
// The last result code; -100 for an unknown id, -14 when the pool is down.
int HttpPool_GetResult(long nId);
// For OnRequestFinished (valid until the next request on the id): 1 when the reply arrived whole
// by its own framing (a Content-Length announced and met, or the chunked end seen); 0 for a reply
// cut short that still counts as received, one ended by closing the connection, or a run that did
// not finish; -100 for an unknown id, -14 when the pool is down. A caller that throws away what it
// can no longer send again (the reporter's archive) waits for a 1.
int HttpPool_IsReplyComplete(long nId);
// The bound on a reply body held in memory, for runs started afterwards; 0 restores the default
// of 256 MiB (kHttpDefaultMaxReply). A reply that would pass it, or whose decoding (libcurl's or
// the engine's own gzip step) would pass 1032 bytes a byte received, fails with -11 (the size) or
// -15 (the ratio) and a "Reply Refused" trace line.
void HttpPool_SetMaxReplySize(long long nBytes);
void HttpPool_StopAll();
// Appends "Name: value" behind the default header lines until the id is released.
int HttpPool_AddHeader(long nId, const char16_t* pszHeader);
int HttpPool_IsRunning(long nId);
int HttpPool_AreAllRunning();
// Queues OnRequestMessage(nId, nValue) for the id's reporter.
void HttpPool_PostMessage(long nId, int32_t nValue);

// Fetches the file with up to ten ranged parts on the calling thread: 1 when it was completed.
int HttpPool_DownloadFileSync(const char16_t* pszUrl, const char16_t* pszPath,
                              IHttpReporter* pReporter, uint32_t dwTimeout);
// Starts a download on a download id (reused like request ids); with bWait it runs to its end
// first.
int HttpPool_DownloadFile(long* pId, const char16_t* pszUrl, const char16_t* pszPath,
                          IHttpReporter* pReporter, uint32_t dwTimeout, int32_t bWait);
// 1 and the size when the server answered, else 0 and size 0.
int HttpPool_GetRemoteFileSize(const char16_t* pszUrl, long* pSize, uint32_t dwTimeout);

void HttpPool_DetachReporter(IHttpReporter* pReporter);
std::u16string HttpPool_GetRequestUrl(long nId);
// The string-table text of a result code ("HTTP请求未知错误!" for codes the table lacks).
std::u16string HttpPool_GetErrorText(int nResult);
