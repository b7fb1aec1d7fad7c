# Warnings for every target of the project; errors when QUILLARK_WERROR is on (CI).
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
                    -Wcast-align -Wnull-dereference -Wformat=2)
if(QUILLARK_WERROR)
  add_compile_options(-Werror)
endif()
# On 32-bit ARM GCC notes at every std::vector or std::map insertion that such
# iterators are passed differently since GCC 7.1. Every binary here, and every
# Debian 12 library it links, comes from a later GCC: the notes only bury the
# build log.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-psabi)
endif()

if(QUILLARK_SANITIZE)
  set(_san -fsanitize=${QUILLARK_SANITIZE} -fno-omit-frame-pointer)
  if(QUILLARK_SANITIZE MATCHES "undefined")
    list(APPEND _san -fno-sanitize-recover=all)
  endif()
  add_compile_options(${_san})
  add_link_options(${_san})
  # A sanitized build is for finding faults, not for speed: -O1 keeps the
  # reports' stack traces whole and line tables are all a report needs, and
  # together they halve the build.
  if(CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
    add_compile_options(-O1 -g1)
  endif()
endif()
