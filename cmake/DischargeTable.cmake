# The shipped discharge tables are data files (link/data/*.csv, each naming its sources); the link
# core carries them as strings, so the estimator needs no file at run time.
function(vespero_generate_discharge_tables)
  foreach(name vrla_12v_typical vrla_12v_low)
    set(csv ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../link/data/${name}.csv)
    file(READ ${csv} VESPERO_DISCHARGE_TABLE_CSV)
    file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/generated/${name}.inc
         CONTENT "R\"vrla(@VESPERO_DISCHARGE_TABLE_CSV@)vrla\"\n" @ONLY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${csv})
  endforeach()
  set(VESPERO_DISCHARGE_TABLES_DIR ${CMAKE_CURRENT_BINARY_DIR}/generated PARENT_SCOPE)
endfunction()

function(vespero_embed_discharge_tables target)
  vespero_generate_discharge_tables()
  target_include_directories(${target} PRIVATE ${VESPERO_DISCHARGE_TABLES_DIR})
endfunction()
