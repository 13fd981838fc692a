# The WinInet-shaped HTTP layer: CAsyncHttp, its status manager and the pool functions.
# IHttpReporter, which the pool's owners implement, comes with the transfer engine.
if(TARGET kt_platform_inet AND TARGET kt_datatable)
  kt_add_library(kt_inet
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/asynchttp.cpp
            ${CMAKE_CURRENT_LIST_DIR}/httpstatusmgr.cpp
            ${CMAKE_CURRENT_LIST_DIR}/inetpool.cpp
    DEPS kt_platform kt_platform_inet kt_resources kt_datatable kt_transfer)
endif()
