// What both HTTP layers share and nothing else: the transfer engine's result codes, the reporter
// interface that owners of either pool implement, and the interface through which the engine's
// workers report to their owner. It includes nothing of either layer, so either may include it.
#pragma once

#include <cstdint>

// Result codes.
inline constexpr int HTTP_OK = 0;
inline constexpr int HTTP_ERR_PARAM = -1;
inline constexpr int HTTP_ERR_OPERATION = -2;
inline constexpr int HTTP_ERR_PROCESS = -3;
inline constexpr int HTTP_ERR_BUSY = -4;
inline constexpr int HTTP_ERR_TIMEOUT = -5;
inline constexpr int HTTP_ERR_NO_OBJECT = -6;
inline constexpr int HTTP_ERR_NO_DATA = -7;
inline constexpr int HTTP_ERR_TABLE = -8;
inline constexpr int HTTP_ERR_BAD_SERVER = -9;
inline constexpr int HTTP_ERR_CURL_INIT = -10;
inline constexpr int HTTP_ERR_CURL_CALL = -11;
inline constexpr int HTTP_ERR_USER_ABORT = -12;
inline constexpr int HTTP_ERR_THREAD = -13;
inline constexpr int HTTP_ERR_POOL_UNINIT = -14;
inline constexpr int HTTP_ERR_UNZIP = -15;
inline constexpr int HTTP_ERR_NOT_FOUND = -16;
inline constexpr int HTTP_ERR_REPLY = -17;
inline constexpr int HTTP_ERR_BAD_INDEX = -18;
inline constexpr int HTTP_NO_INDEX = -100;

// Implemented by users of the pool; every slot defaults to doing nothing. A reporter may call any
// HttpPool_ function from inside a call, including releasing or restarting its own id.
class IHttpReporter {
public:
    virtual int32_t OnRequestFinished(long nId);
    virtual int32_t OnRequestFailed(long nId, int32_t nResult);
    virtual int32_t OnRequestMessage(long nId, int32_t nValue);
    // A download posts the bytes written so far.
    virtual int32_t OnRequestStatus(long nId, int32_t nValue);
    // Bytes uploaded so far.
    virtual int32_t OnRequestProgress(long nId, double dProgress);

    // Detaches this reporter from every request and download (they are stopped), so that a
    // destroyed reporter is never called.
    virtual ~IHttpReporter();
};

// What a worker of the transfer engine tells its owner (the pool's status manager). Called on
// worker threads; implementations must not block and must not call back into the pool.
class IAsyReporter {
public:
    virtual int32_t OnAsyncFinished(long nId) = 0;
    virtual int32_t OnAsyncFailed(long nId, int32_t nResult) = 0;
    virtual int32_t OnAsyncStatus(long nId, int32_t nValue) = 0;
    virtual int32_t OnAsyncProgress(long nId, double dValue) = 0;

protected:
    ~IAsyReporter() = default;
};
