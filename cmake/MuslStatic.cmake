# musl_static: an interface target that turns an executable into a static musl
# binary built without optimisation, with full debug information and with
# undefined-behaviour checks that abort at the first violation. Such targets use
# libc's C headers only: no C++ standard library, no exceptions, no RTTI.
#
# Paths are mapped so that reports and debug information name sources by their
# path from the project root, and builds in different directories are
# byte-identical.

set(MUSL_INCLUDE_DIR /usr/include/x86_64-linux-musl CACHE PATH "musl's C headers")
set(MUSL_LIB_DIR /usr/lib/x86_64-linux-musl CACHE PATH "musl's crt files and libc.a")

foreach(musl_file IN ITEMS ${MUSL_INCLUDE_DIR}/stdio.h ${MUSL_LIB_DIR}/libc.a ${MUSL_LIB_DIR}/crt1.o)
  if(NOT EXISTS ${musl_file})
    message(FATAL_ERROR "musl not found (${musl_file} is missing): install musl-dev and musl-tools")
  endif()
endforeach()

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "static musl targets need clang++, not ${CMAKE_CXX_COMPILER_ID}")
endif()

execute_process(
  COMMAND ${CMAKE_CXX_COMPILER} -print-resource-dir
  OUTPUT_VARIABLE clang_resource_dir
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
find_file(UBSAN_MINIMAL_RUNTIME libclang_rt.ubsan_minimal-x86_64.a
  PATHS ${clang_resource_dir}/lib/linux NO_DEFAULT_PATH REQUIRED)

add_library(musl_static INTERFACE)
target_compile_options(musl_static INTERFACE
  --target=x86_64-linux-musl
  -nostdinc -isystem ${MUSL_INCLUDE_DIR}
  -fno-exceptions -fno-rtti
  -O0 -g
  -fsanitize=undefined -fsanitize-minimal-runtime -fno-sanitize-recover=undefined
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
  -fdebug-compilation-dir=.)
# The sanitizer runtime is named explicitly below: with -nostdlib the driver adds
# none of its own, so no glibc runtime or dynamic loader sneaks in.
target_link_options(musl_static INTERFACE
  --target=x86_64-linux-musl -fuse-ld=lld -static -nostdlib
  ${MUSL_LIB_DIR}/crt1.o ${MUSL_LIB_DIR}/crti.o)
target_link_libraries(musl_static INTERFACE
  ${UBSAN_MINIMAL_RUNTIME} ${MUSL_LIB_DIR}/libc.a ${MUSL_LIB_DIR}/crtn.o)
