include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
install(TARGETS ostrane EXPORT OstraneTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS ostrane-smb-worker RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/ostrane)
# The worker program's own headers need libsmbclient's, the stream task's connection OpenSSL's and
# the session engine libcurl's: none of them is part of the interface.
install(DIRECTORY src/platform src/keychain src/ostrane src/fileprovider
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostrane FILES_MATCHING PATTERN "*.hpp" PATTERN "*.h"
        REGEX "/ostrane/smb/worker(/|$)" EXCLUDE
        PATTERN "FileProviderStreamTaskConnection.hpp" EXCLUDE PATTERN "URLSessionEngine.hpp" EXCLUDE)
install(EXPORT OstraneTargets NAMESPACE Ostrane:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrane)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/OstraneConfig.cmake.in [=[
@PACKAGE_INIT@
include(CMakeFindDependencyMacro)
find_dependency(nlohmann_json 3)
include("${CMAKE_CURRENT_LIST_DIR}/OstraneTargets.cmake")
]=])
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/OstraneConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/OstraneConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrane)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/OstraneConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/OstraneConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/OstraneConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Ostrane)

# ostrane.pc finds the prefix from its own folder, so `cmake --install --prefix P` (or moving the
# installed tree) needs no other configuration. Folders given as absolute paths stay as given.
set(pc_folder ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE ${pc_folder})
  set(pc_prefix ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH pc_up /${pc_folder} /)
  string(REGEX REPLACE "/$" "" pc_up "${pc_up}")
  set(pc_prefix "\${pcfiledir}/${pc_up}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE ${CMAKE_INSTALL_${kind}})
    set(pc_${kind} ${CMAKE_INSTALL_${kind}})
  else()
    set(pc_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
list(JOIN OSTRANE_PRIVATE_PKG_MODULES " " pc_private)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/ostrane.pc
"prefix=${pc_prefix}
libdir=${pc_LIBDIR}
includedir=${pc_INCLUDEDIR}/ostrane
Name: ostrane
Description: Remote file access (SMB, SFTP, FTP, WebDAV) and file providers for media players
Version: ${PROJECT_VERSION}
Requires: nlohmann_json >= 3
Requires.private: ${pc_private}
Libs: -L\${libdir} -lostrane
Cflags: -I\${includedir} -std=c++20
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ostrane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
