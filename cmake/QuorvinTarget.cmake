# Common settings for every target of the project: warnings, strict Qt definitions and the
# version string compiled into the program.
function(qv_setup_target target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual
    -Wformat=2 -Wno-format-nonliteral -Wimplicit-fallthrough -Wno-missing-field-initializers)
  target_compile_definitions(${target} PRIVATE
    QT_NO_CAST_FROM_ASCII QT_NO_KEYWORDS QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QV_VERSION_STRING="${PROJECT_VERSION}")
  if(QV_WERROR)
    set_target_properties(${target} PROPERTIES COMPILE_WARNING_AS_ERROR ON)
  endif()
endfunction()
