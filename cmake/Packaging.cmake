# Debian packages with CPack, one per install component (see Install.cmake):
#   quillark-plugin_<version>_<arch>.deb   the plug-in and its documents
#   quillark-tools_<version>_<arch>.deb    poller, simulator, stand-in host library, man pages
#   quillark-agent_<version>_<arch>.deb    the agent as a systemd service, /etc/quillark/agent.toml
# `make package` (or `cpack`) in a build directory configured with
# -DCMAKE_INSTALL_PREFIX=/usr makes them; the top-level Makefile's `package`
# target does this for amd64 and, with the cross toolchain, armhf.

# Debian's name for the architecture the binaries are for, from the toolchain
# (a cross build's packages are the target's, not the build machine's).
if(CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE QUILLARK_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
endif()
if(NOT QUILLARK_DEB_ARCH)
  execute_process(COMMAND dpkg --print-architecture
                  OUTPUT_VARIABLE QUILLARK_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillark)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillark developers <quillark@example.org>")
set(CPACK_PACKAGE_VENDOR "Quillark developers")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${QUILLARK_PLUGIN_COMPONENT} ${QUILLARK_TOOLS_COMPONENT})
if(TARGET quillark-agent)
  list(APPEND CPACK_COMPONENTS_ALL ${QUILLARK_AGENT_COMPONENT})
endif()
# Installed into a staging tree with DESTDIR and the prefix /usr, so that
# /etc/quillark/agent.toml lands in the package (quillark_install_config).
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QUILLARK_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools' stand-in host library is private: dpkg-shlibdeps finds it here,
# and for the agent in the tools package's staging tree beside its own (run
# from a package's staging tree, dpkg-shlibdeps takes these relative to it).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${QUILLARK_PRIVATE_LIBDIR}
    ../${QUILLARK_TOOLS_COMPONENT}/usr/${QUILLARK_PRIVATE_LIBDIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

string(TOUPPER ${QUILLARK_PLUGIN_COMPONENT} _plugin)
string(TOUPPER ${QUILLARK_TOOLS_COMPONENT} _tools)
string(TOUPPER ${QUILLARK_AGENT_COMPONENT} _agent)
set(CPACK_DEBIAN_${_plugin}_PACKAGE_NAME ${QUILLARK_PLUGIN_PACKAGE})
set(CPACK_DEBIAN_${_tools}_PACKAGE_NAME ${QUILLARK_TOOLS_PACKAGE})
set(CPACK_COMPONENT_${_tools}_DEPENDS ${QUILLARK_PLUGIN_COMPONENT})
set(CPACK_DEBIAN_${_agent}_PACKAGE_NAME ${QUILLARK_AGENT_PACKAGE})
# The stand-in host library the agent runs on is the tools package's.
set(CPACK_COMPONENT_${_agent}_DEPENDS ${QUILLARK_PLUGIN_COMPONENT} ${QUILLARK_TOOLS_COMPONENT})
# The live page's charts draw with Debian's Chart.js, which the agent serves
# from /usr/share/javascript (architecture all, so the same for armhf).
set(CPACK_DEBIAN_${_agent}_PACKAGE_DEPENDS "libjs-chart.js")
# Enabled and started on installation, restarted after an upgrade, stopped
# on removal, with Debian's systemd helpers; the configuration a conffile.
set(_scripts ${PROJECT_SOURCE_DIR}/tools/agent/package)
set(CPACK_DEBIAN_${_agent}_PACKAGE_CONTROL_EXTRA
    ${_scripts}/postinst ${_scripts}/prerm ${_scripts}/postrm ${_scripts}/conffiles)
set(CPACK_DEBIAN_${_plugin}_DESCRIPTION
"driver plug-in for an in-row precision air-conditioning unit
quillark.so is a driver plug-in for a monitoring host framework. It speaks
Modbus to one in-row precision air-conditioning unit (a compressor circuit and
a refrigerant pump circuit): poll rounds that fill the unit's 187-byte data
record, a JSON status document, and register writes that report whether the
unit confirmed them.

The host loads the plug-in with dlopen and binds the host framework's symbols
from its own process; the host must be built against this system's libjsoncpp
and C++ runtime.")
set(CPACK_DEBIAN_${_tools}_DESCRIPTION
"poller and unit simulator for the quillark plug-in
quillark-poll loads the quillark.so plug-in as the host does and polls one
in-row air-conditioning unit over Modbus TCP or RTU, printing its status
document and sending register writes. quillark-sim is a Modbus server that
behaves like the unit, for trying the driver without one.

The package carries a stand-in implementation of the host framework, private
to these tools and the agent.")
set(CPACK_DEBIAN_${_agent}_DESCRIPTION
"service polling a row of in-row air-conditioning units
quillark-agent loads the quillark.so plug-in once and polls many in-row
air-conditioning units over Modbus TCP and RTU, one thread per link. It
publishes their status, alarms and availability to an MQTT broker, takes
register writes from it, and serves Prometheus metrics and a live web view
over HTTP.

It runs as the systemd service quillark-agent, configured by
/etc/quillark/agent.toml, which as installed polls nothing.")

include(CPack)
