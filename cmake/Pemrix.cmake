# Build-wide settings shared by every component.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
pkg_check_modules(NANOMSG REQUIRED IMPORTED_TARGET nanomsg)
pkg_check_modules(MOSQUITTO REQUIRED IMPORTED_TARGET libmosquitto)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
# The benchmarks share the tests' helpers (temporary folders, real servers).
if(PEMRIX_TESTS OR PEMRIX_BENCH)
  find_package(GTest REQUIRED)
endif()

# Developers' rebuilds go through ccache when it is installed; CI builds the
# same without it.
find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

# Warnings are errors only in spirit: we keep the build clean by hand, but do
# not make a new compiler's new warning break a field build.
add_compile_options(-Wall -Wextra)

# 32-bit targets (the armhf gateway): 64-bit file offsets and inode numbers
# (readdir otherwise fails with EOVERFLOW on large filesystems) and a 64-bit
# time_t, so clocks and file times after January 2038 keep working. The
# libraries we link pass none of these types across their interfaces.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
endif()

option(PEMRIX_TSAN "Build with ThreadSanitizer (the threaded pieces' tests run under it too)" OFF)
if(PEMRIX_SANITIZE AND PEMRIX_TSAN)
  message(FATAL_ERROR "PEMRIX_SANITIZE and PEMRIX_TSAN cannot be combined")
endif()
if(PEMRIX_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(PEMRIX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Every program's output lands in one folder so the tests, the demo and the
# acquisition stand-in find programs and plug-ins side by side (the plug-in
# resolves its platform libraries from its own directory via $ORIGIN).
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# pemrix_add_test(NAME name SOURCES ... LIBS ... LABELS unit|integration [TIMEOUT s])
# One GoogleTest executable registered as one ctest test, with a time-out and
# a tier label so `ctest -L unit` and `ctest -L integration` run alone.
function(pemrix_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE pemrix_testing GTest::gtest_main ${T_LIBS})
  set_target_properties(${T_NAME} PROPERTIES ENABLE_EXPORTS ON)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}"
    ENVIRONMENT "PEMRIX_BIN_DIR=${CMAKE_BINARY_DIR}/bin;ASAN_OPTIONS=detect_leaks=1:abort_on_error=0")
endfunction()

# Adds every direct subfolder of the current folder that has a CMakeLists.txt:
# platform stand-ins and benchmarks are one folder each.
function(pemrix_add_subfolders)
  file(GLOB entries LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(dir ${entries})
    if(IS_DIRECTORY ${dir} AND EXISTS ${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# pemrix_link_hidden(target lib...): links static libraries into a shared
# object without exporting any of their symbols. A plug-in or stand-in
# library then keeps its own private copy and never binds to (or lends its
# copy to) the one the host program was linked with.
function(pemrix_link_hidden target)
  target_link_libraries(${target} PRIVATE ${ARGN})
  # The headers' inline members are instantiated in the target's own sources.
  set_target_properties(${target} PROPERTIES VISIBILITY_INLINES_HIDDEN ON)
  foreach(lib ${ARGN})
    target_link_options(${target} PRIVATE "LINKER:--exclude-libs,$<TARGET_FILE_NAME:${lib}>")
  endforeach()
endfunction()
