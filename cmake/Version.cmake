# The release identification, in one generated header that any target gets by
# linking quillark_version:
#   QUILLARK_VERSION         "1.0.0" (from project())
#   QUILLARK_GIT_COMMIT      abbreviated commit of the checkout, "" outside one
#   QUILLARK_IDENTIFICATION  "quillark 1.0.0 (git 0123abcd)"
# The commit is read at build time, not at configure time, so a rebuild after
# a new commit carries the new one; the header is rewritten only when it changes.
set(QUILLARK_VERSION_DIR ${PROJECT_BINARY_DIR}/generated)
set(QUILLARK_VERSION_HEADER ${QUILLARK_VERSION_DIR}/quillark_version.h)

add_custom_target(quillark_version_header
  COMMAND ${CMAKE_COMMAND}
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DVERSION=${PROJECT_VERSION}
          -DTEMPLATE=${PROJECT_SOURCE_DIR}/cmake/templates/quillark_version.h.in
          -DOUTPUT=${QUILLARK_VERSION_HEADER}
          -P ${PROJECT_SOURCE_DIR}/cmake/scripts/write_version.cmake
  BYPRODUCTS ${QUILLARK_VERSION_HEADER}
  COMMENT "Release identification"
  VERBATIM)

add_library(quillark_version INTERFACE)
target_include_directories(quillark_version INTERFACE ${QUILLARK_VERSION_DIR})
add_dependencies(quillark_version quillark_version_header)
