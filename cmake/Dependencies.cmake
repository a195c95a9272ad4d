# Every external library the areas use, gathered in one interface target.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(EXPAT REQUIRED)
find_package(CURL REQUIRED)
pkg_check_modules(SQLITE3   REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
pkg_check_modules(SMBCLIENT REQUIRED IMPORTED_TARGET smbclient)
pkg_check_modules(LIBSSH    REQUIRED IMPORTED_TARGET libssh>=0.10)
pkg_check_modules(UUID      REQUIRED IMPORTED_TARGET uuid)
pkg_check_modules(ICU       REQUIRED IMPORTED_TARGET icu-uc icu-i18n)
pkg_check_modules(LIBXML2   REQUIRED IMPORTED_TARGET libxml-2.0)
pkg_check_modules(MEDIA     REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswscale libheif poppler-cpp exiv2)

# libsmbclient is not among them: only the SMB worker program links it (see CMakeLists.txt).
add_library(ostrane_deps INTERFACE)
target_link_libraries(ostrane_deps INTERFACE
  Threads::Threads nlohmann_json::nlohmann_json OpenSSL::SSL OpenSSL::Crypto EXPAT::EXPAT CURL::libcurl
  PkgConfig::SQLITE3 PkgConfig::LIBSECRET PkgConfig::LIBSSH PkgConfig::UUID PkgConfig::ICU PkgConfig::LIBXML2
  PkgConfig::MEDIA)

# The same libraries by their pkg-config names, for ostrane.pc: the library links them, its
# installed headers need none of them.
set(OSTRANE_PRIVATE_PKG_MODULES libcurl openssl expat sqlite3 libsecret-1 libssh uuid icu-uc icu-i18n libxml-2.0
  libavformat libavcodec libavutil libswscale libheif poppler-cpp exiv2)
