# Compiler settings every target of the viewer shares.

# Every picture must be bit-identical on every machine: IEEE double evaluated as written, with no
# fused multiply-add contraction and no value-changing optimisation.
add_compile_options(-ffp-contract=off -fno-fast-math)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86_64|AMD64)$")
  add_compile_options(-mfpmath=sse -msse2)
endif()
set(CMAKE_CXX_FLAGS_RELEASE "-O2")

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
