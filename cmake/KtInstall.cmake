# Installation and packages. `cmake --install` lays out the three programs, the sample service
# table, the libraries the family's other programs link (headers, static archives, a CMake package
# and a pkg-config file); CPack turns the same tree into Debian packages (Linux build) or an NSIS
# installer (Windows build).
#
# Linux layout under the prefix P:
#   P/bin/kt-inspect, P/bin/ktfeedback-server
#   P/bin/ktreporter -> ../lib/ktreporter/ktreporter
#   P/lib/ktreporter/         the reporter's client directory. The reporter looks for etc/ and tmp/
#                             beside its executable (read through /proc/self/exe, so the link in
#                             bin/ leads here); a system directory is not writable by its users,
#                             hence:
#     etc -> <sysconf>/ktreporter    the service table is configuration: /etc/ktreporter when
#                                    P is /usr, P/etc/ktreporter otherwise
#     tmp -> /tmp                    screenshots are written 0600 by the user who takes them
#   P/include/ktreporter/<folder>/*.h, P/lib/libkt_*.a, P/lib/cmake/KTReporter/,
#   P/lib/pkgconfig/ktreporter.pc, P/share/man/man1/, P/lib/systemd/system/ (not enabled)
# Windows: the chosen directory is the client directory: the programs and etc\urlserver.xml.
#
# Components: "runtime" (programs, service table, manual pages, service unit) and "dev"
# (headers, archives, CMake and pkg-config files): the Debian packages ktreporter and
# ktreporter-dev; the Windows installer carries the runtime only.
if(NOT KT_ONLY STREQUAL "")
  return()  # a partial build has nothing complete to install
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KT_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/ktreporter)
set(KT_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/KTReporter)
if(WIN32)
  set(KT_INSTALL_BINDIR .)
  set(KT_INSTALL_CLIENTDIR .)
else()
  set(KT_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(KT_INSTALL_CLIENTDIR lib/ktreporter)
endif()

# --- Libraries ----------------------------------------------------------------------------------
# What the family's programs link, with the names they see; the libraries these depend on are
# exported too, under their names without the kt_ prefix (platform, resources, ...).
set(_kt_public_libs kt_xml kt_datatable kt_transfer kt_inet kt_paths)
set(_kt_export_names kt_paths serverpath)
# Interface targets that only carry this tree's own build settings.
set(_kt_build_only kt_warnings)

# Every library reachable from the public ones, dependencies before their users.
set(_kt_exported "")
function(_kt_visit target)
  if(NOT TARGET ${target} OR target IN_LIST _kt_build_only OR target IN_LIST _kt_exported)
    return()
  endif()
  get_target_property(imported ${target} IMPORTED)
  if(imported)
    return()
  endif()
  get_target_property(deps ${target} INTERFACE_LINK_LIBRARIES)
  foreach(dep IN LISTS deps)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" dep "${dep}")
    _kt_visit(${dep})
  endforeach()
  set(_kt_exported ${_kt_exported} ${target} PARENT_SCOPE)
endfunction()
foreach(lib IN LISTS _kt_public_libs)
  if(TARGET ${lib})
    _kt_visit(${lib})
  else()
    message(STATUS "KtInstall: ${lib} is not built here and is not installed")
  endif()
endforeach()

set(_kt_header_folders "")
foreach(lib IN LISTS _kt_exported)
  list(FIND _kt_export_names ${lib} i)
  if(i GREATER_EQUAL 0)
    math(EXPR i "${i} + 1")
    list(GET _kt_export_names ${i} name)
  else()
    string(REGEX REPLACE "^kt_" "" name ${lib})
  endif()
  set_property(TARGET ${lib} PROPERTY EXPORT_NAME ${name})

  # In the build the headers come from the tree; installed, from include/ktreporter.
  get_target_property(dirs ${lib} INTERFACE_INCLUDE_DIRECTORIES)
  set(wrapped "")
  foreach(dir IN LISTS dirs)
    if(dir MATCHES "^\\$<")
      list(APPEND wrapped "${dir}")
    else()
      list(APPEND wrapped "$<BUILD_INTERFACE:${dir}>")
    endif()
  endforeach()
  list(APPEND wrapped "$<INSTALL_INTERFACE:${KT_INSTALL_INCLUDEDIR}>")
  set_property(TARGET ${lib} PROPERTY INTERFACE_INCLUDE_DIRECTORIES "${wrapped}")
  set_property(TARGET ${lib} APPEND PROPERTY INTERFACE_COMPILE_FEATURES cxx_std_20)
  get_target_property(links ${lib} INTERFACE_LINK_LIBRARIES)
  if(links)
    foreach(build_only IN LISTS _kt_build_only)
      list(REMOVE_ITEM links ${build_only} "$<LINK_ONLY:${build_only}>")
    endforeach()
    set_property(TARGET ${lib} PROPERTY INTERFACE_LINK_LIBRARIES "${links}")
  endif()

  # The public headers are those at the top of the library's folder, kept at the same relative
  # place so that "xml/xmldocument.h" resolves as it does in the tree.
  get_target_property(src_dir ${lib} SOURCE_DIR)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR}/src ${src_dir})
  if(NOT folder IN_LIST _kt_header_folders)
    list(APPEND _kt_header_folders ${folder})
    file(GLOB headers CONFIGURE_DEPENDS ${src_dir}/*.h)
    install(FILES ${headers} DESTINATION ${KT_INSTALL_INCLUDEDIR}/${folder} COMPONENT dev)
  endif()
endforeach()

install(TARGETS ${_kt_exported} EXPORT KTReporterTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(EXPORT KTReporterTargets NAMESPACE KTReporter:: DESTINATION ${KT_INSTALL_CMAKEDIR}
  COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KTReporterConfig.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/KTReporterConfig.cmake INSTALL_DESTINATION ${KT_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/KTReporterConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/packaging/KTReporterConfig.cmake
              ${PROJECT_BINARY_DIR}/packaging/KTReporterConfigVersion.cmake
  DESTINATION ${KT_INSTALL_CMAKEDIR} COMPONENT dev)

# pkg-config: one module for all the libraries, users before what they use on the link line.
if(NOT WIN32)
  set(KT_PC_LIBS "")
  foreach(lib IN LISTS _kt_exported)
    get_target_property(type ${lib} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      list(PREPEND KT_PC_LIBS "-l$<TARGET_FILE_BASE_NAME:${lib}>")
    endif()
  endforeach()
  list(JOIN KT_PC_LIBS " " KT_PC_LIBS)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/../packaging/ktreporter.pc.in
    ${PROJECT_BINARY_DIR}/packaging/ktreporter.pc.cfg @ONLY)
  file(GENERATE OUTPUT ${PROJECT_BINARY_DIR}/packaging/ktreporter.pc
    INPUT ${PROJECT_BINARY_DIR}/packaging/ktreporter.pc.cfg)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/ktreporter.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

# --- Programs -----------------------------------------------------------------------------------
foreach(tool kt-inspect ktfeedback-server)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${KT_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()
if(TARGET ktreporter)
  install(TARGETS ktreporter RUNTIME DESTINATION ${KT_INSTALL_CLIENTDIR} COMPONENT runtime)
endif()

set(_kt_sample_table ${PROJECT_SOURCE_DIR}/etc/urlserver.xml)
if(WIN32)
  install(FILES ${_kt_sample_table} DESTINATION etc COMPONENT runtime)
else()
  # Paths are decided when installing: CPack installs again under its own prefix (/usr).
  if(TARGET ktreporter)
    set(_kt_with_reporter ON)
  else()
    set(_kt_with_reporter OFF)
  endif()
  install(CODE "set(_kt_sample_table \"${_kt_sample_table}\")
    set(_kt_clientdir \"${KT_INSTALL_CLIENTDIR}\")
    set(_kt_with_reporter ${_kt_with_reporter})" COMPONENT runtime)
  install(CODE [[
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
      set(_kt_etc /etc/ktreporter)
    else()
      set(_kt_etc ${CMAKE_INSTALL_PREFIX}/etc/ktreporter)
    endif()
    # An installation's own table is its configuration: never replaced by the sample.
    if(EXISTS "$ENV{DESTDIR}${_kt_etc}/urlserver.xml")
      message(STATUS "Keeping: $ENV{DESTDIR}${_kt_etc}/urlserver.xml")
    else()
      file(INSTALL ${_kt_sample_table} DESTINATION ${_kt_etc} PERMISSIONS OWNER_READ OWNER_WRITE
        GROUP_READ WORLD_READ)
    endif()
    set(_kt_client "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${_kt_clientdir}")
    file(MAKE_DIRECTORY ${_kt_client})
    # Within the prefix the link is relative, so that a moved prefix keeps working.
    set(_kt_etc_link ${_kt_etc})
    cmake_path(IS_PREFIX CMAKE_INSTALL_PREFIX ${_kt_etc} NORMALIZE _kt_etc_inside)
    if(_kt_etc_inside)
      file(RELATIVE_PATH _kt_etc_link ${CMAKE_INSTALL_PREFIX}/${_kt_clientdir} ${_kt_etc})
    endif()
    foreach(_kt_link "etc=${_kt_etc_link}" "tmp=/tmp")
      string(REPLACE "=" ";" _kt_link "${_kt_link}")
      list(GET _kt_link 0 _kt_name)
      list(GET _kt_link 1 _kt_target)
      message(STATUS "Installing: ${_kt_client}/${_kt_name} -> ${_kt_target}")
      file(REMOVE ${_kt_client}/${_kt_name})
      file(CREATE_LINK ${_kt_target} ${_kt_client}/${_kt_name} SYMBOLIC)
    endforeach()
    if(_kt_with_reporter)
      set(_kt_bin "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin")
      file(MAKE_DIRECTORY ${_kt_bin})
      message(STATUS "Installing: ${_kt_bin}/ktreporter -> ../${_kt_clientdir}/ktreporter")
      file(REMOVE ${_kt_bin}/ktreporter)
      file(CREATE_LINK ../${_kt_clientdir}/ktreporter ${_kt_bin}/ktreporter SYMBOLIC)
    endif()
  ]] COMPONENT runtime)

  # Manual pages, compressed as Debian wants them (no name, no time stamp).
  set(_kt_man_gz "")
  foreach(page ktreporter ktfeedback-server kt-inspect)
    set(src ${PROJECT_SOURCE_DIR}/docs/man/${page}.1)
    set(gz ${PROJECT_BINARY_DIR}/packaging/man/${page}.1.gz)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging/man
      COMMAND gzip -9nc ${src} > ${gz}
      DEPENDS ${src} VERBATIM)
    list(APPEND _kt_man_gz ${gz})
  endforeach()
  add_custom_target(kt_man_pages ALL DEPENDS ${_kt_man_gz})
  install(FILES ${_kt_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)

  install(FILES ${PROJECT_SOURCE_DIR}/packaging/ktfeedback-server.service
    DESTINATION lib/systemd/system COMPONENT runtime)

  # Debian wants a copyright file and a change log in each package's documentation folder.
  set(_kt_changelog_gz ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${_kt_changelog_gz}
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${_kt_changelog_gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog VERBATIM)
  add_custom_target(kt_changelog ALL DEPENDS ${_kt_changelog_gz})
  foreach(pair runtime=ktreporter dev=ktreporter-dev)
    string(REPLACE "=" ";" pair ${pair})
    list(GET pair 0 component)
    list(GET pair 1 package)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${_kt_changelog_gz}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  endforeach()
endif()

# --- Packages -----------------------------------------------------------------------------------
# Values reach cpack exactly as written here (the NSIS commands hold quotes and backslashes).
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_NAME ktreporter)
set(CPACK_PACKAGE_VENDOR "KTReporter")
set(CPACK_PACKAGE_CONTACT "KTReporter maintainers <ktreporter@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY KTReporter)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY KTReporter)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_COMPONENT_RUNTIME_DISPLAY_NAME "KTReporter")
set(CPACK_COMPONENT_RUNTIME_REQUIRED ON)
set(CPACK_COMPONENT_DEV_DISPLAY_NAME "Libraries and headers")

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ktreporter)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles)
# The first line is the synopsis; Debian wants the rest in lines of under 80 characters.
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "problem-feedback reporter of a desktop client family
The reporter opens one dialog in which the user describes a problem, and
posts it with a screenshot or an archive attached to the feedback service
named in /etc/ktreporter/urlserver.xml. The package also carries
ktfeedback-server, a small receiver of such reports (its systemd unit is
installed but not enabled), and kt-inspect, which shows what each layer of
the reporter reads, builds and sends.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME ktreporter-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libcurl4-openssl-dev | libcurl-dev, zlib1g-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION "libraries of the KTReporter client family (static)
The asynchronous HTTP transfer engine on libcurl, the WinInet-shaped HTTP
layer, the typed data table with its binary reply reader, the XML document
class and the client directory and server URL tables, as static libraries
with their headers, a CMake package (find_package(KTReporter)) and a
pkg-config module (ktreporter).")

set(CPACK_NSIS_PACKAGE_NAME "KTReporter")
set(CPACK_NSIS_DISPLAY_NAME "KTReporter ${PROJECT_VERSION}")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
# The programs are 64-bit, and so is the installer: it then runs where only 64-bit Wine is, writes
# the 64-bit registry view and proposes the 64-bit Program Files. CPack has no setting for the
# installer's target, so its own script template is used with that one line put in front.
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
file(READ ${CMAKE_ROOT}/Modules/Internal/CPack/NSIS.template.in _kt_nsis_template)
string(FIND "${_kt_nsis_template}" "\n" _kt_first_line_end)  # behind the byte-order mark's line
math(EXPR _kt_first_line_end "${_kt_first_line_end} + 1")
string(SUBSTRING "${_kt_nsis_template}" 0 ${_kt_first_line_end} _kt_nsis_head)
string(SUBSTRING "${_kt_nsis_template}" ${_kt_first_line_end} -1 _kt_nsis_template)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/nsis/NSIS.template.in
  "${_kt_nsis_head}Target amd64-unicode\n${_kt_nsis_template}")
set(CPACK_MODULE_PATH ${PROJECT_BINARY_DIR}/packaging/nsis ${CMAKE_MODULE_PATH})
set(CPACK_NSIS_INSTALLED_ICON_NAME ktreporter.exe)
# The reporter writes its screenshots to tmp\ beside itself, and the chosen directory is usually
# under Program Files, which users cannot write: the installer makes tmp\ and lets the users
# group (S-1-5-32-545) change it. The uninstaller removes it with whatever screenshots are left.
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS [[
  CreateDirectory "$INSTDIR\tmp"
  nsExec::Exec 'icacls "$INSTDIR\tmp" /grant *S-1-5-32-545:(OI)(CI)M'
  Pop $0]])
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS [[
  RMDir /r "$INSTDIR\tmp"]])
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/CPackProjectConfig.cmake)

if(WIN32)
  set(CPACK_GENERATOR NSIS)
else()
  set(CPACK_GENERATOR DEB)
endif()
include(CPack)
