#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "resources/strings.h"

namespace {

TEST(StringTable, TextsByIdAreExact) {
    // The texts travel to users and to other programs of the family that compare them: byte for
    // byte in UTF-8.
    const char* kExpected[] = {
        "HTTP请求参数错误!",
        "HTTP请求操作错误!",
        "HTTP请求过程发生错误!",
        "HTTP上次请求还未结束!",
        "HTTP请求超时!",
        "HTTP申请请求http对象失败!",
        "HTTP请求没有数据返回!",
        "解析二维表发生错误!",
        "HTTP请求URL不是有效的服务器地址,不能连接!",
        "HTTP请求初始化CURL获取请求对象失败!",
        "HTTP请求curl接口调用失败!",
        "HTTP请求被用户终止!",
        "HTTP请求过程创建线程失败!",
        "HTTP请求池未初始化!",
        "HTTP请求返回数据解压失败!",
        "HTTP请求未找到!",
        "HTTP应答错误!",
        "HTTP请求未知错误!",
        "HTTP错误的请求号!",
    };
    for (uint32_t nId = 1001; nId <= 1019; ++nId) {
        EXPECT_EQ(kt::ToUtf8(kt::LoadResString(nId)), kExpected[nId - 1001]) << nId;
    }
    EXPECT_TRUE(kt::LoadResString(1000).empty());
    EXPECT_TRUE(kt::LoadResString(1020).empty());
}

}  // namespace
