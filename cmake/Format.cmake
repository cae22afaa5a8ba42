# Runs clang-format over the project's C++ sources, found afresh at every run:
#   cmake -DCLANG_FORMAT=<program> -DSOURCE_DIR=<dir> [-DCHECK=ON] -P Format.cmake
# CHECK=ON changes nothing and fails when a file differs from .clang-format.
# tests/data holds the generator's expected output, which is compared byte for byte.
set(globs)
foreach(dir libveyra common network plugin tools tests bench)
  list(APPEND globs ${SOURCE_DIR}/${dir}/*.cpp ${SOURCE_DIR}/${dir}/*.h)
endforeach()
file(GLOB_RECURSE files ${globs})
list(FILTER files EXCLUDE REGEX "/tests/data/")
if(CHECK)
  set(mode --dry-run --Werror)
else()
  set(mode -i)
endif()
execute_process(COMMAND ${CLANG_FORMAT} --style=file ${mode} ${files} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "clang-format: the sources differ from .clang-format (cmake --build <dir> --target format)")
endif()
