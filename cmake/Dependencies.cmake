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

add_library(ostrane_deps INTERFACE)
target_link_libraries(ostrane_deps INTERFACE
  Threads::Threads nlohmann_json::nlohmann_json OpenSSL::SSL OpenSSL::Crypto EXPAT::EXPAT CURL::libcurl
  PkgConfig::SQLITE3 PkgConfig::LIBSECRET PkgConfig::SMBCLIENT PkgConfig::LIBSSH PkgConfig::UUID PkgConfig::ICU PkgConfig::LIBXML2
  PkgConfig::MEDIA)
