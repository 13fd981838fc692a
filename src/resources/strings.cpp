#include "resources/strings.h"

#include <array>

namespace kt {
namespace {

constexpr std::array<std::u16string_view, IDS_HTTP_ERR_LAST - IDS_HTTP_ERR_FIRST + 1> kHttpTexts = {
    u"HTTP请求参数错误!",                          // 1001
    u"HTTP请求操作错误!",                          // 1002
    u"HTTP请求过程发生错误!",                      // 1003
    u"HTTP上次请求还未结束!",                      // 1004
    u"HTTP请求超时!",                              // 1005
    u"HTTP申请请求http对象失败!",                  // 1006
    u"HTTP请求没有数据返回!",                      // 1007
    u"解析二维表发生错误!",                        // 1008
    u"HTTP请求URL不是有效的服务器地址,不能连接!",  // 1009
    u"HTTP请求初始化CURL获取请求对象失败!",        // 1010
    u"HTTP请求curl接口调用失败!",                  // 1011
    u"HTTP请求被用户终止!",                        // 1012
    u"HTTP请求过程创建线程失败!",                  // 1013
    u"HTTP请求池未初始化!",                        // 1014
    u"HTTP请求返回数据解压失败!",                  // 1015
    u"HTTP请求未找到!",                            // 1016
    u"HTTP应答错误!",                              // 1017
    u"HTTP请求未知错误!",                          // 1018
    u"HTTP错误的请求号!",                          // 1019
};

}  // namespace

std::u16string_view LoadResString(uint32_t nId) {
    if (nId < IDS_HTTP_ERR_FIRST || nId > IDS_HTTP_ERR_LAST) return {};
    return kHttpTexts[nId - IDS_HTTP_ERR_FIRST];
}

}  // namespace kt
