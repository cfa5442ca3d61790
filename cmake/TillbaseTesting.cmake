# One test binary per subsystem. Every binary becomes two ctest entries:
#   <name>              all tests except the concurrency ones
#   <name>_concurrency  test suites whose name ends in "Concurrency",
#                       labelled "concurrency" (the ThreadSanitizer CI run
#                       runs only these)
function(tillbase_add_test_binary name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  find_package(GTest REQUIRED)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE TILLBASE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_test(NAME ${name} COMMAND ${name} --gtest_filter=-*Concurrency*.*)
  set_tests_properties(${name} PROPERTIES LABELS "unit")
  add_test(NAME ${name}_concurrency COMMAND ${name} --gtest_filter=*Concurrency*.*)
  set_tests_properties(${name}_concurrency PROPERTIES LABELS "concurrency")
endfunction()

# A library made of every .cpp below the given folders (relative to src/).
# Globbing keeps the build files out of the way when a subsystem grows.
function(tillbase_add_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;LIBS;PUBLIC_LIBS" ${ARGN})
  set(sources "")
  foreach(dir ${ARG_DIRS})
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  list(FILTER sources EXCLUDE REGEX ".*_main\\.cpp$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_LIBS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_PUBLIC_LIBS})
  endif()
endfunction()

# A test binary made of every .cpp in tests/<dir> (recursively).
function(tillbase_add_test_dir name dir)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/${dir}/*.cpp)
  if(sources)
    tillbase_add_test_binary(${name} SOURCES ${sources} LIBS ${ARG_LIBS})
  endif()
endfunction()
