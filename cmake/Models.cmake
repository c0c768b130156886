# Reference heuristic packages, written by the Python exporter into
# <build>/models, and with the tests the native runner's test fixtures beside
# them. Each export compiles a model (seconds apiece), so each set reruns only
# when its scripts change; a stamp records each set's last complete run.
set(QUELMAR_MODELS_DIR ${CMAKE_BINARY_DIR}/models)
# The exporter's own files: a change to any re-exports the models.
set(_quelmar_exporter ${PROJECT_SOURCE_DIR}/python/quelmar_cpp/export.py
    ${PROJECT_SOURCE_DIR}/python/quelmar_cpp/model_package.py
    ${PROJECT_SOURCE_DIR}/python/quelmar_cpp/common/files.py)
set(_quelmar_models_stamps ${QUELMAR_MODELS_DIR}/.exported)
add_custom_command(
  OUTPUT ${QUELMAR_MODELS_DIR}/.exported
  COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${QUELMAR_PYTHON_STAGE}
          ${Python_EXECUTABLE} -m quelmar_cpp.export --out ${QUELMAR_MODELS_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${QUELMAR_MODELS_DIR}/.exported
  DEPENDS ${_quelmar_exporter}
  COMMENT "Exporting reference heuristic models into ${QUELMAR_MODELS_DIR}"
  VERBATIM)
# Trained heuristics shipped in models/<name>/model.pt, exported as <name>.pt2.
set(_quelmar_learned ${PROJECT_SOURCE_DIR}/models/cube3_learned ${PROJECT_SOURCE_DIR}/models/cube3_q)
set(_quelmar_network ${PROJECT_SOURCE_DIR}/python/quelmar_cpp/train/network.py)
foreach(_dir IN LISTS _quelmar_learned)
  get_filename_component(_name ${_dir} NAME)
  list(APPEND _quelmar_models_stamps ${QUELMAR_MODELS_DIR}/${_name}.pt2)
  # Both precisions: bfloat16 runs the same network faster where the CPU has native units.
  add_custom_command(
    OUTPUT ${QUELMAR_MODELS_DIR}/${_name}.pt2 ${QUELMAR_MODELS_DIR}/${_name}_bf16.pt2
    COMMAND ${CMAKE_COMMAND} -E env PYTHONPATH=${QUELMAR_PYTHON_STAGE}
            ${Python_EXECUTABLE} -m quelmar_cpp.export --out ${QUELMAR_MODELS_DIR} --learned ${_dir}
            --precision both
    DEPENDS ${_dir}/model.pt ${_quelmar_exporter} ${_quelmar_network}
    COMMENT "Exporting the trained heuristic ${_name} into ${QUELMAR_MODELS_DIR}"
    VERBATIM)
endforeach()
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
  add_dependencies(quelmar_models _backend_impl _research_impl)
endif()
