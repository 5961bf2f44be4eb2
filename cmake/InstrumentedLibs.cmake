# Builds zlib, expat and libpng (with CORPUS_INSTRUMENTED_FULL, libcurl, GLib, GTK+ 2 and
# ImageMagick too) from Debian's source packages of the installed versions with this build's C
# compiler and flags (scripts/build-instrumented-libs.sh) into CORPUS_INSTRUMENTED_PREFIX, before
# any subsystem looks for them. The preset puts that prefix first in CMAKE_PREFIX_PATH, so
# find_package and pkg-config pick these libraries; programs find them at run time through RPATH.
# A stamp in the prefix keeps a second configure from fetching or building anything.

set(CORPUS_DEBIAN_MIRROR "" CACHE STRING
    "Debian archive URL for the library sources (empty: the machine's own apt entries)")

option(CORPUS_INSTRUMENTED_FULL
       "Instrument libcurl, GLib, GTK+ 2 and ImageMagick as well as zlib, expat and libpng" OFF)

set(instrumented_work ${CMAKE_BINARY_DIR}/instrumented-src)
set(instrumented_args --prefix ${CORPUS_INSTRUMENTED_PREFIX} --work ${instrumented_work})
set(instrumented_names "zlib, expat and libpng")
if(CORPUS_INSTRUMENTED_FULL)
  list(APPEND instrumented_args --full)
  set(instrumented_names "libraries")
endif()
if(CORPUS_DEBIAN_MIRROR)
  list(APPEND instrumented_args --mirror ${CORPUS_DEBIAN_MIRROR})
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env CC=${CMAKE_C_COMPILER} CXX=${CMAKE_CXX_COMPILER}
          "CFLAGS=${CMAKE_C_FLAGS}"
          bash ${PROJECT_SOURCE_DIR}/scripts/build-instrumented-libs.sh ${instrumented_args}
  RESULT_VARIABLE instrumented_result)
if(NOT instrumented_result EQUAL 0)
  message(FATAL_ERROR "The instrumented ${instrumented_names} could not be built (see the lines "
                      "above; logs in ${instrumented_work}/logs).")
endif()
if(NOT CORPUS_INSTRUMENTED_PREFIX IN_LIST CMAKE_PREFIX_PATH)
  message(FATAL_ERROR "CMAKE_PREFIX_PATH must list ${CORPUS_INSTRUMENTED_PREFIX}, or the system's "
                      "uninstrumented libraries would be found instead.")
endif()

# An RPATH (not a RUNPATH) reaches the libraries' own dependencies too, and no system path or
# LD_LIBRARY_PATH comes before it.
add_link_options(LINKER:--disable-new-dtags)
