# cpp-httplib's client, which the tests and benchmarks speak HTTP with (the
# server has its own engine). Debian ships it split into a declarations
# header and a shared library built with OpenSSL, zlib and brotli support;
# every translation unit that includes httplib.h must see the same
# CPPHTTPLIB_* macros as that library (they change class layouts), so the
# macros travel with this target.
include_guard(GLOBAL)
find_package(OpenSSL REQUIRED)
pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
add_library(qx-httplib INTERFACE)
target_link_libraries(qx-httplib INTERFACE
  PkgConfig::CPPHTTPLIB OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
