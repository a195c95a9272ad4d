include(GNUInstallDirs)
include(CMakePackageConfigHelpers)
install(TARGETS ostrane EXPORT OstraneTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS ostrane-smb-worker RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/ostrane)
install(DIRECTORY src/platform src/keychain src/ostrane src/fileprovider
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ostrane FILES_MATCHING PATTERN "*.hpp" PATTERN "*.h")
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
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/ostrane.pc
"prefix=${CMAKE_INSTALL_PREFIX}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}/ostrane
Name: ostrane
Description: Remote file access (SMB, SFTP, FTP, WebDAV) and file providers for media players
Version: ${PROJECT_VERSION}
Requires.private: libcurl libssh smbclient sqlite3 libsecret-1 uuid icu-uc icu-i18n openssl expat libavformat libavcodec libavutil libswscale libheif poppler-cpp exiv2
Libs: -L\${libdir} -lostrane
Cflags: -I\${includedir} -std=c++20
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/ostrane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
