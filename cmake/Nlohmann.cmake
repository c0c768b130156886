# nlohmann/json: an installed package, or a single header placed by the GPU
# check script in a git-ignored folder (never committed).
find_package(nlohmann_json 3.11 QUIET)
if(NOT nlohmann_json_FOUND)
  find_path(QUELMAR_NLOHMANN_INCLUDE nlohmann/json.hpp
            PATHS ${CMAKE_SOURCE_DIR}/.local/include NO_DEFAULT_PATH)
  if(NOT QUELMAR_NLOHMANN_INCLUDE)
    message(FATAL_ERROR "nlohmann_json >= 3.11 not found")
  endif()
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${QUELMAR_NLOHMANN_INCLUDE})
endif()
