# Reference heuristic packages and the test fixtures, written by the Python
# exporter into <build>/models. Each export compiles a model (seconds apiece),
# so this reruns only when the exporter itself changes; the stamp records the
# last complete run.
set(QUELMAR_MODELS_DIR ${CMAKE_BINARY_DIR}/models)
set(_quelmar_models_stamp ${QUELMAR_MODELS_DIR}/.exported)
add_custom_command(
  OUTPUT ${_quelmar_models_stamp}
  COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${QUELMAR_PYTHON_STAGE}
          ${Python_EXECUTABLE} -m quelmar_cpp.export --out ${QUELMAR_MODELS_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${_quelmar_models_stamp}
  DEPENDS ${PROJECT_SOURCE_DIR}/python/quelmar_cpp/export.py
  COMMENT "Exporting reference heuristic models into ${QUELMAR_MODELS_DIR}"
  VERBATIM)
add_custom_target(quelmar_models ALL DEPENDS ${_quelmar_models_stamp})
# Importing quelmar_cpp loads the extension; order only, so relinking it does
# not re-export the models.
if(TARGET _backend_impl)
  add_dependencies(quelmar_models _backend_impl)
endif()
