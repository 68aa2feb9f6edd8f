# Installs the tool and the libraries as the CMake package "zud"
# (find_package(zud CONFIG), targets zud::util, zud::sockets, zud::ftp,
# zud::deploy, zud::frontend) and the pkg-config module zud.pc.
include(CMakePackageConfigHelpers)

install(TARGETS ftpupload RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/ftpupload.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(ZUD_LAYERS util sockets ftp deploy frontend)
# The deploy engine installs its public API only: the runs, their stages and
# what they share are the library's own (and declare no ZUD_API names).
set(ZUD_PUBLIC_HEADERS_deploy deploy.h failure.h figures.h paths.h session.h)
foreach(layer ${ZUD_LAYERS})
  list(APPEND zud_targets zud_${layer})
  if(DEFINED ZUD_PUBLIC_HEADERS_${layer})
    list(TRANSFORM ZUD_PUBLIC_HEADERS_${layer} PREPEND src/${layer}/ OUTPUT_VARIABLE headers)
    install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zud/${layer})
    continue()
  endif()
  # The headers that declare no ZUD_API names are the libraries' own: the
  # parser's and the FTP client's internals, the raw platform call tables,
  # and two that include OpenSSL's or the system's headers.
  install(DIRECTORY src/${layer}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zud/${layer}
          FILES_MATCHING PATTERN "*.h"
          PATTERN "ftplist_fields.h" EXCLUDE
          PATTERN "ftplist_mask.h" EXCLUDE
          PATTERN "ftplist_parser.h" EXCLUDE
          PATTERN "ftpclient_text.h" EXCLUDE
          PATTERN "sockapi_calls.h" EXCLUDE
          PATTERN "tls_openssl_api.h" EXCLUDE
          PATTERN "posix_write.h" EXCLUDE
          PATTERN "win" EXCLUDE)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/generated/zud/version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zud)

set(ZUD_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zud)
install(TARGETS ${zud_targets} EXPORT zudTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(EXPORT zudTargets NAMESPACE zud:: DESTINATION ${ZUD_CMAKE_DIR})
configure_package_config_file(cmake/zudConfig.cmake.in ${PROJECT_BINARY_DIR}/zudConfig.cmake
                              INSTALL_DESTINATION ${ZUD_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zudConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zudConfig.cmake ${PROJECT_BINARY_DIR}/zudConfigVersion.cmake
        DESTINATION ${ZUD_CMAKE_DIR})

# zud.pc finds the prefix from its own place, so an installed tree can be moved.
set(ZUD_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZUD_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH up /root/${ZUD_PC_DIR} /root)
  string(REGEX REPLACE "/$" "" up "${up}")
  set(ZUD_PC_PREFIX "\${pcfiledir}/${up}")
endif()
# Static libraries: what they need from the system goes on every link.
set(ZUD_PC_LIBS "")
foreach(layer ${ZUD_LAYERS})
  list(PREPEND ZUD_PC_LIBS -lzud_${layer})
endforeach()
list(JOIN ZUD_PC_LIBS " " ZUD_PC_LIBS)
if(CMAKE_THREAD_LIBS_INIT)
  string(APPEND ZUD_PC_LIBS " ${CMAKE_THREAD_LIBS_INIT}")
endif()
foreach(lib ${CMAKE_DL_LIBS})
  string(APPEND ZUD_PC_LIBS " -l${lib}")
endforeach()
configure_file(cmake/zud.pc.in ${PROJECT_BINARY_DIR}/zud.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zud.pc DESTINATION ${ZUD_PC_DIR})
