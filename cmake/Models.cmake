# Reference heuristic packages, written by the Python exporter into
# <build>/models, and with the tests the native runner's test fixtures beside
# them. Each export compiles a model (seconds apiece), so each set reruns only
# when its scripts change; a stamp records each set's last complete run.
set(QUELMAR_MODELS_DIR ${CMAKE_BINARY_DIR}/models)
set(_quelmar_exporter ${PROJECT_SOURCE_DIR}/python/quelmar_cpp/export.py)
set(_quelmar_models_stamps ${QUELMAR_MODELS_DIR}/.exported)
add_custom_command(
  OUTPUT ${QUELMAR_MODELS_DIR}/.exported
  COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${QUELMAR_PYTHON_STAGE}
          ${Python_EXECUTABLE} -m quelmar_cpp.export --out ${QUELMAR_MODELS_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${QUELMAR_MODELS_DIR}/.exported
  DEPENDS ${_quelmar_exporter}
  COMMENT "Exporting reference heuristic models into ${QUELMAR_MODELS_DIR}"
  VERBATIM)
if(QUELMAR_BUILD_TESTS)
  set(_quelmar_fixtures ${PROJECT_SOURCE_DIR}/tests/models/export_fixtures.py)
  list(APPEND _quelmar_models_stamps ${QUELMAR_MODELS_DIR}/.fixtures-exported)
  add_custom_command(
    OUTPUT ${QUELMAR_MODELS_DIR}/.fixtures-exported
    COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${QUELMAR_PYTHON_STAGE}
            ${Python_EXECUTABLE} ${_quelmar_fixtures} --out ${QUELMAR_MODELS_DIR}
    COMMAND ${CMAKE_COMMAND} -E touch ${QUELMAR_MODELS_DIR}/.fixtures-exported
    DEPENDS ${_quelmar_exporter} ${_quelmar_fixtures}
    COMMENT "Exporting the heuristic runner's test fixtures into ${QUELMAR_MODELS_DIR}"
    VERBATIM)
endif()
add_custom_target(quelmar_models ALL DEPENDS ${_quelmar_models_stamps})
# Importing quelmar_cpp loads the extension; order only, so relinking it does
# not re-export the models.
if(TARGET _backend_impl)
  add_dependencies(quelmar_models _backend_impl)
endif()
