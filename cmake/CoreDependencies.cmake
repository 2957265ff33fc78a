# Host libraries the core library links.
find_package(PkgConfig REQUIRED)
pkg_check_modules(UDEV REQUIRED IMPORTED_TARGET libudev)
target_link_libraries(kvx PUBLIC PkgConfig::UDEV)
