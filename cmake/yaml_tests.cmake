# libyaml for the tests that read meta.yaml back with a real YAML parser. The
# product never links it. The test executables are made after this file is
# included, so the linking is deferred to the end of the directory.
find_library(VELDRA_YAML_LIB yaml REQUIRED)
set(VELDRA_YAML_TESTS triad_test authoring_flow_test)

function(veldra_link_yaml_tests)
  foreach(t ${VELDRA_YAML_TESTS})
    if(TARGET ${t})
      target_link_libraries(${t} PRIVATE ${VELDRA_YAML_LIB})
    endif()
  endforeach()
endfunction()

cmake_language(DEFER CALL veldra_link_yaml_tests)
