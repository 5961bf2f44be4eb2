# What every program of this build needs in its environment, one KEY=VALUE a line in
# <bin>/run-env, for whoever runs them (the runner reads it). A ThreadSanitizer build with clang
# names two things there:
# - with LLVM's OpenMP runtime, the Archer tool, which tells ThreadSanitizer how the runtime
#   orders the threads of a parallel region (the OpenMP programs' manifest entries also ask
#   ThreadSanitizer to leave out what the uninstrumented runtime does through intercepted calls,
#   as Archer asks; for the other programs that would hide the instrumented libraries' own
#   copies of our memory, so it is not set here);
# - LLVM's symbolizer of the same release: without it clang's reports carry no function, file
#   or line, and no report can be told from another.
# Debian 12 lets one LLVM OpenMP runtime (libomp-N-dev) be installed at a time: a clang build of
# another release names the LLVM folder whose runtime it takes (its Archer too).
set(CORPUS_OPENMP_LLVM "" CACHE PATH
    "LLVM folder whose OpenMP runtime a clang build uses (empty: the compiler's own)")
set(run_env "")
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CXX_FLAGS MATCHES "-fsanitize=thread")
  get_filename_component(compiler_dir ${CMAKE_CXX_COMPILER} REALPATH)
  get_filename_component(compiler_dir ${compiler_dir} DIRECTORY)
  set(openmp_lib ${compiler_dir}/../lib)
  if(CORPUS_OPENMP_LLVM)
    set(openmp_lib ${CORPUS_OPENMP_LLVM}/lib)
  endif()
  find_library(CORPUS_ARCHER_LIBRARY archer HINTS ${openmp_lib} NO_DEFAULT_PATH)
  if(NOT CORPUS_ARCHER_LIBRARY)
    message(FATAL_ERROR "libarcher.so not found beside ${CMAKE_CXX_COMPILER} (package libomp-N-dev)")
  endif()
  get_filename_component(archer ${CORPUS_ARCHER_LIBRARY} REALPATH)
  string(APPEND run_env "OMP_TOOL_LIBRARIES=${archer}\n")
  find_program(CORPUS_LLVM_SYMBOLIZER llvm-symbolizer HINTS ${compiler_dir} NO_DEFAULT_PATH)
  if(NOT CORPUS_LLVM_SYMBOLIZER)
    message(FATAL_ERROR "llvm-symbolizer not found beside ${CMAKE_CXX_COMPILER} (package llvm-N)")
  endif()
  string(APPEND run_env "TSAN_OPTIONS=external_symbolizer_path=${CORPUS_LLVM_SYMBOLIZER}\n")
endif()
# With GLib instrumented (tsan-full), GSlice hands out blocks of its own slabs, so a report on a
# GObject would name the slab's first allocation, not the object's: GSlice is asked to use malloc,
# as it does by itself under valgrind (glib/gslice.c, slice_config_init).
if(CORPUS_INSTRUMENTED_FULL)
  string(APPEND run_env "G_SLICE=always-malloc\n")
endif()
file(WRITE ${CORPUS_PROGRAM_DIR}/run-env "${run_env}")
