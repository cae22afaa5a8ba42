# Compiler settings shared by every target of the project.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_AUTOMOC ON)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)

if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

add_compile_definitions(
  QT_NO_CAST_FROM_ASCII
  QT_NO_CAST_TO_ASCII
  QT_NO_CAST_FROM_BYTEARRAY
  QT_NO_URL_CAST_FROM_STRING
  QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
  QT_USE_QSTRINGBUILDER
  QT_NO_FOREACH
  QT_DISABLE_DEPRECATED_BEFORE=0x050F00
)

add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                    -Wcast-align -Woverloaded-virtual -Wformat=2)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  # qCDebug(category) << ... leaves the macro's variadic part empty, which clang's -Wpedantic flags.
  add_compile_options(-Wno-gnu-zero-variadic-macro-arguments)
endif()
option(VEYRA_WERROR "Treat warnings as errors" OFF)
if(VEYRA_WERROR)
  add_compile_options(-Werror)
endif()

option(VEYRA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(VEYRA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# The fuzz targets (tests/fuzz): coverage and sanitizers on everything they link. Clang only.
option(VEYRA_FUZZ "Build the libFuzzer targets (needs clang++)" OFF)
if(VEYRA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VEYRA_FUZZ=ON needs clang: configure with -DCMAKE_CXX_COMPILER=clang++")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Plugins and libraries must not carry undefined symbols: the host loads them with no second chance.
if(NOT VEYRA_SANITIZE AND NOT VEYRA_FUZZ)
  add_link_options(LINKER:--no-undefined)
endif()
