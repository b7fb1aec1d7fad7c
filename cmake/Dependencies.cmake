# Every dependency comes from Debian's packages (scripts/bootstrap installs them).
find_package(PkgConfig REQUIRED)
pkg_check_modules(JSONCPP REQUIRED IMPORTED_TARGET jsoncpp)
pkg_check_modules(MODBUS REQUIRED IMPORTED_TARGET libmodbus)
find_package(Boost 1.74 REQUIRED COMPONENTS date_time)
find_package(Threads REQUIRED)
if(QUILLARK_TESTS)
  find_package(GTest REQUIRED)
endif()
if(QUILLARK_BENCH AND NOT CMAKE_CROSSCOMPILING)
  find_package(benchmark QUIET)
endif()
if(QUILLARK_TOOLS OR QUILLARK_FUZZ)
  find_package(CLI11 QUIET)
endif()
# The agent (tools/agent): TOML, MQTT, HTTP and libsystemd (the service
# manager's notifications and watchdog). Found quietly: a build without
# them leaves the agent out (`scripts/bootstrap --armhf` installs the armhf ones).
# The fuzz targets of the agent's outside input need them too.
if(QUILLARK_TOOLS OR QUILLARK_FUZZ)
  pkg_check_modules(TOMLPLUSPLUS QUIET IMPORTED_TARGET tomlplusplus)
  pkg_check_modules(MOSQUITTO QUIET IMPORTED_TARGET libmosquitto)
  pkg_check_modules(HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
  pkg_check_modules(SYSTEMD QUIET IMPORTED_TARGET libsystemd)
  pkg_check_modules(OPENSSL QUIET IMPORTED_TARGET openssl)
endif()
