# Every third-party package the layers link against, found once here.
set(Python_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Interpreter the module is built for")
find_package(Python 3 REQUIRED COMPONENTS Interpreter Development.Module)
find_package(pybind11 CONFIG REQUIRED)
find_package(nlohmann_json CONFIG REQUIRED)
find_package(FlatBuffers CONFIG REQUIRED)
find_program(FLATC flatc REQUIRED)
find_package(Armadillo REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto SSL)
find_package(PostgreSQL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(OpenMP REQUIRED COMPONENTS CXX)
find_package(PkgConfig REQUIRED)
pkg_check_modules(RE2 REQUIRED IMPORTED_TARGET re2)

# OpenBLAS: the BLAS behind Armadillo, and openblas_set_num_threads for the kernels.
find_library(OPENBLAS_LIBRARY NAMES openblas REQUIRED)
find_path(OPENBLAS_INCLUDE_DIR cblas.h PATH_SUFFIXES openblas REQUIRED)
add_library(dz_openblas INTERFACE)
target_link_libraries(dz_openblas INTERFACE ${OPENBLAS_LIBRARY})
target_include_directories(dz_openblas INTERFACE ${OPENBLAS_INCLUDE_DIR})

add_library(dz_armadillo INTERFACE)
target_include_directories(dz_armadillo INTERFACE ${ARMADILLO_INCLUDE_DIRS})
# Armadillo's wrapper library is bypassed: link BLAS/LAPACK straight so the one OpenBLAS is used.
target_compile_definitions(dz_armadillo INTERFACE ARMA_DONT_USE_WRAPPER ARMA_USE_BLAS ARMA_USE_LAPACK)
find_library(LAPACK_LIBRARY NAMES lapack REQUIRED)
target_link_libraries(dz_armadillo INTERFACE dz_openblas ${LAPACK_LIBRARY})

# hiredis with TLS: a system copy of 1.1 or later when it has hiredis_ssl, else the project-local build.
find_package(hiredis CONFIG QUIET)
find_package(hiredis_ssl CONFIG QUIET)
add_library(dz_hiredis INTERFACE)
if(TARGET hiredis::hiredis AND TARGET hiredis::hiredis_ssl)
  # The imported targets carry no dependencies of their own: order matters.
  target_link_libraries(dz_hiredis INTERFACE hiredis::hiredis_ssl hiredis::hiredis OpenSSL::SSL OpenSSL::Crypto)
else()
  pkg_check_modules(HIREDIS REQUIRED IMPORTED_TARGET hiredis>=1.1.0 hiredis_ssl>=1.1.0)
  target_link_libraries(dz_hiredis INTERFACE PkgConfig::HIREDIS OpenSSL::SSL OpenSSL::Crypto)
endif()

if(DZ_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
if(DZ_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()
