# Where `cmake --install` and the packages put things, and the helpers every
# folder uses to join them. Relative destinations resolve against
# CMAKE_INSTALL_PREFIX (the packages use /usr).
#
#   <bindir>                        the tools (quillark-poll, quillark-sim, ...)
#   <libdir>/quillark/quillark.so   the plug-in (QUILLARK_PLUGIN_DIR)
#   <libdir>/quillark/              the stand-in host library, private to the tools
#   <mandir>/man1/<tool>.1.gz       a man page per tool, made from its --help
#   <datadir>/doc/<package>/        README, guides, LICENSE, CHANGELOG, copyright
#
# <libdir> is Debian's multiarch directory (lib/x86_64-linux-gnu,
# lib/arm-linux-gnueabihf) whenever the toolchain names one.
#
# Install components, one per Debian package:
#   plugin  ->  quillark-plugin   the plug-in and its documents only
#   tools   ->  quillark-tools    poller, simulator and the stand-in host library
#   agent   ->  quillark-agent    the agent, its systemd unit and /etc/quillark/agent.toml
#
# A new tool joins the tools package with
#   quillark_install_tool(<target> DESCRIPTION "<one line for its man page>")
# (COMPONENT <component> for another package), which installs it with a
# runpath to the private directory and gives it a man page generated from
# --help. Other files join with COMPONENT ${QUILLARK_TOOLS_COMPONENT}, with a
# relative destination, e.g. a systemd unit, which lands in
# /usr/lib/systemd/system:
#   install(FILES quillark-agent.service DESTINATION lib/systemd/system
#           COMPONENT ${QUILLARK_AGENT_COMPONENT})
# A file for /etc goes through quillark_install_config, which keeps a tree
# installed elsewhere than /usr in its own directory.

if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
      "Object code libraries (Debian multiarch directory)")
endif()
include(GNUInstallDirs)

set(QUILLARK_PLUGIN_COMPONENT plugin)
set(QUILLARK_TOOLS_COMPONENT tools)
set(QUILLARK_AGENT_COMPONENT agent)
set(QUILLARK_PLUGIN_PACKAGE quillark-plugin)
set(QUILLARK_TOOLS_PACKAGE quillark-tools)
set(QUILLARK_AGENT_PACKAGE quillark-agent)

set(QUILLARK_PLUGIN_DIR ${CMAKE_INSTALL_LIBDIR}/quillark CACHE PATH
    "Where the plug-in is installed (relative: under the install prefix)")
set(QUILLARK_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/quillark)

# Absolute form of an install directory, and the same seen from <bindir>, so
# that an installed tool finds its files wherever the tree is unpacked.
function(quillark_from_bindir out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
    return()
  endif()
  cmake_path(RELATIVE_PATH dir BASE_DIRECTORY "${CMAKE_INSTALL_BINDIR}" OUTPUT_VARIABLE rel)
  set(${out} "${rel}" PARENT_SCOPE)
endfunction()
quillark_from_bindir(QUILLARK_PLUGIN_FROM_BINDIR "${QUILLARK_PLUGIN_DIR}")
quillark_from_bindir(QUILLARK_PRIVATE_FROM_BINDIR "${QUILLARK_PRIVATE_LIBDIR}")

# Documents of a package: install(FILES) into <datadir>/doc/<package>.
function(quillark_install_docs component package)
  install(FILES ${ARGN} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component})
endfunction()

# Man page of a tool, generated from its --help and --version by help2man
# (through the cross emulator in a cross build). Recorded in the global
# property QUILLARK_MAN_PAGES ("<target>|<page>" items) for the tests that
# keep the pages current.
find_program(QUILLARK_HELP2MAN help2man)
find_program(QUILLARK_GZIP gzip REQUIRED)
function(quillark_man_page target description component)
  if(NOT QUILLARK_HELP2MAN)
    message(WARNING "help2man not found: no man page for ${target} (scripts/bootstrap installs it)")
    return()
  endif()
  set(page ${PROJECT_BINARY_DIR}/man/${target}.1)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR "|" emulator)
  set(script ${PROJECT_SOURCE_DIR}/cmake/scripts/man_page.cmake)
  add_custom_command(OUTPUT ${page} ${page}.gz
    COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${QUILLARK_HELP2MAN} -DGZIP=${QUILLARK_GZIP}
            "-DPROGRAM=$<TARGET_FILE:${target}>" "-DEMULATOR=${emulator}"
            "-DDESCRIPTION=${description}" -DRELEASE_DATE=${QUILLARK_RELEASE_DATE}
            -DVERSION=${PROJECT_VERSION} -DOUTPUT=${page} -P ${script}
    DEPENDS ${target} ${script}
    COMMENT "Man page of ${target}"
    VERBATIM)
  add_custom_target(${target}_man ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  set_property(GLOBAL APPEND PROPERTY QUILLARK_MAN_PAGES "${target}|${page}|${description}")
endfunction()

# A tool of the tools package: installed into <bindir>, finding the stand-in
# host library through an $ORIGIN-relative runpath, with a man page.
function(quillark_install_tool target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION;COMPONENT" "")
  if(NOT arg_COMPONENT)
    set(arg_COMPONENT ${QUILLARK_TOOLS_COMPONENT})
  endif()
  if(IS_ABSOLUTE "${QUILLARK_PRIVATE_FROM_BINDIR}")
    set(runpath "${QUILLARK_PRIVATE_FROM_BINDIR}")
  else()
    set(runpath "$ORIGIN/${QUILLARK_PRIVATE_FROM_BINDIR}")
  endif()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${runpath}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${arg_COMPONENT})
  quillark_man_page(${target} "${arg_DESCRIPTION}" ${arg_COMPONENT})
endfunction()

# A configuration file: /etc/<dir>/<name> when the install prefix is /usr
# (the packages, which list it as a conffile), else <prefix>/etc/<dir>/<name>,
# decided when installing, so that `cmake --install --prefix DIR` never
# writes outside DIR.
function(quillark_install_config component source dir name)
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(_etc \"/etc/${dir}\")
    else()
      set(_etc \"\${CMAKE_INSTALL_PREFIX}/etc/${dir}\")
    endif()
    file(INSTALL DESTINATION \"\${_etc}\" TYPE FILE FILES \"${source}\" RENAME \"${name}\")
  " COMPONENT ${component})
endfunction()
