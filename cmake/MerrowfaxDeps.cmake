# Third-party packages, all from Debian (scripts/install-deps installs them).

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n)
find_package(RapidJSON REQUIRED)
if(NOT TARGET RapidJSON::RapidJSON)
    add_library(RapidJSON::RapidJSON INTERFACE IMPORTED)
    set_target_properties(RapidJSON::RapidJSON PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${RAPIDJSON_INCLUDE_DIRS}")
endif()
find_package(GTest REQUIRED)
if(MERROWFAX_BENCH)
    find_package(benchmark REQUIRED)
endif()
