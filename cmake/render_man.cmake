# Renders a manual page as plain UTF-8 text (no bold, underline or escape sequences), for systems
# without man. Run as: cmake -DGROFF=... -DINPUT=page.1 -DOUTPUT=page.txt -P render_man.cmake
execute_process(
  COMMAND "${GROFF}" -man -Tutf8 -P-cbou -rHY=0 "${INPUT}"
  OUTPUT_FILE "${OUTPUT}"
  ERROR_VARIABLE messages
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "groff failed on ${INPUT} (${status}): ${messages}")
endif()
if(messages)
  message(WARNING "groff on ${INPUT}: ${messages}")
endif()
