# Compiler settings every target of the viewer shares.

# Every picture must be bit-identical on every machine: IEEE double evaluated as written, with no
# fused multiply-add contraction and no value-changing optimisation.
add_compile_options(-ffp-contract=off -fno-fast-math)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86_64|AMD64)$")
  add_compile_options(-mfpmath=sse -msse2)
endif()
# Release builds optimise as Debian builds its programs, at -O2, keeping the rest of CMake's flags
# (-DNDEBUG). At -O3, GCC 12 also warns of overlapping copies inside std::string that cannot
# happen.
string(REPLACE "-O3" "-O2" CMAKE_CXX_FLAGS_RELEASE "${CMAKE_CXX_FLAGS_RELEASE}")

# Optimised builds carry the protections of every Debian program, on top of CMake's own flags for
# the configuration: position-independent code, stack protector,
# fortified C library calls, stack clash protection, control-flow protection where the processor
# has it, and relocations read-only and bound at start.
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()
set(fractal_optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
add_compile_options(
  "$<${fractal_optimised}:-fstack-protector-strong;-fstack-clash-protection>"
  "$<${fractal_optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86_64|AMD64|amd64)$")
  add_compile_options("$<${fractal_optimised}:-fcf-protection>")
endif()
add_link_options("$<${fractal_optimised}:LINKER:-z,relro,-z,now>")

if(FRACTAL_SANITIZE)
  # -O1 keeps the reference pictures of the tests affordable under the sanitizers.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -O1)
  add_link_options(-fsanitize=address,undefined)
endif()

# Applied privately to the viewer's own targets.
add_library(fractal_warnings INTERFACE)
target_compile_options(fractal_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(FRACTAL_WERROR)
  target_compile_options(fractal_warnings INTERFACE -Werror)
endif()

# A library of the viewer, in its own folder, with sources relative to it.
function(fractal_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE fractal_warnings)
endfunction()
