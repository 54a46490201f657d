# The version from project() as a header for the programs that print it
# (scalepoll-sim --version, scalepoll-console --version): link
# scalepoll_version and include "ScalepollVersion.h". Also written to
# version.txt in the build folder, for scripts/package.sh.
configure_file(${CMAKE_CURRENT_LIST_DIR}/ScalepollVersion.h.in
               ${PROJECT_BINARY_DIR}/generated/ScalepollVersion.h @ONLY)
file(WRITE ${PROJECT_BINARY_DIR}/version.txt "${PROJECT_VERSION}\n")
add_library(scalepoll_version INTERFACE)
target_include_directories(scalepoll_version INTERFACE ${PROJECT_BINARY_DIR}/generated)
