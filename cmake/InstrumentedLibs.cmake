# Builds zlib, expat and libpng from Debian's source packages of the installed versions with this
# build's C compiler and flags (scripts/build-instrumented-libs.sh) into CORPUS_INSTRUMENTED_PREFIX,
# before any subsystem looks for them. The preset puts that prefix first in CMAKE_PREFIX_PATH, so
# find_package and pkg-config pick these libraries; programs find them at run time through RPATH.
# A stamp in the prefix keeps a second configure from fetching or building anything.

set(CORPUS_DEBIAN_MIRROR "" CACHE STRING
    "Debian archive URL for the library sources (empty: the machine's own apt entries)")

set(instrumented_work ${CMAKE_BINARY_DIR}/instrumented-src)
set(instrumented_args --prefix ${CORPUS_INSTRUMENTED_PREFIX} --work ${instrumented_work})
if(CORPUS_DEBIAN_MIRROR)
  list(APPEND instrumented_args --mirror ${CORPUS_DEBIAN_MIRROR})
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env CC=${CMAKE_C_COMPILER} "CFLAGS=${CMAKE_C_FLAGS}"
          bash ${PROJECT_SOURCE_DIR}/scripts/build-instrumented-libs.sh ${instrumented_args}
  RESULT_VARIABLE instrumented_result)
if(NOT instrumented_result EQUAL 0)
  message(FATAL_ERROR "The instrumented zlib, expat and libpng could not be built (see the lines "
                      "above; logs in ${instrumented_work}/logs).")
endif()
if(NOT CORPUS_INSTRUMENTED_PREFIX IN_LIST CMAKE_PREFIX_PATH)
  message(FATAL_ERROR "CMAKE_PREFIX_PATH must list ${CORPUS_INSTRUMENTED_PREFIX}, or the system's "
                      "uninstrumented libraries would be found instead.")
endif()

# An RPATH (not a RUNPATH) reaches the libraries' own dependencies too, and no system path or
# LD_LIBRARY_PATH comes before it.
add_link_options(LINKER:--disable-new-dtags)

# What every program of this build needs in its environment, one KEY=VALUE a line, for whoever
# runs them. With LLVM's OpenMP runtime, the Archer tool tells ThreadSanitizer how the runtime
# orders the threads of a parallel region. (The OpenMP programs' manifest entries also ask
# ThreadSanitizer to leave out what the uninstrumented runtime does through intercepted calls,
# as Archer asks; for the other programs that would hide the instrumented libraries' own
# copies of our memory, so it is not set here.)
set(run_env "")
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  get_filename_component(compiler_dir ${CMAKE_CXX_COMPILER} REALPATH)
  get_filename_component(compiler_dir ${compiler_dir} DIRECTORY)
  find_library(CORPUS_ARCHER_LIBRARY archer HINTS ${compiler_dir}/../lib NO_DEFAULT_PATH)
  if(NOT CORPUS_ARCHER_LIBRARY)
    message(FATAL_ERROR "libarcher.so not found beside ${CMAKE_CXX_COMPILER} (package libomp-14-dev)")
  endif()
  get_filename_component(archer ${CORPUS_ARCHER_LIBRARY} REALPATH)
  string(APPEND run_env "OMP_TOOL_LIBRARIES=${archer}\n")
  # clang's ThreadSanitizer names the places of a report through LLVM's symbolizer; without it
  # the frames carry no function, file or line, and no report can be told from another.
  find_program(CORPUS_LLVM_SYMBOLIZER llvm-symbolizer HINTS ${compiler_dir} NO_DEFAULT_PATH)
  if(NOT CORPUS_LLVM_SYMBOLIZER)
    message(FATAL_ERROR "llvm-symbolizer not found beside ${CMAKE_CXX_COMPILER} (package llvm-14)")
  endif()
  string(APPEND run_env "TSAN_OPTIONS=external_symbolizer_path=${CORPUS_LLVM_SYMBOLIZER}\n")
endif()
file(WRITE ${CORPUS_PROGRAM_DIR}/run-env "${run_env}")
