# Runs one program and checks its exit status and standard error.
#   cmake -DPROGRAM=... -DARGS=a;b -DSTATUS=7 -DERROR_REGEX=... [-DEMULATOR=...] -P run_status_check.cmake
set(command ${PROGRAM} ${ARGS})
if(EMULATOR)
  set(command ${EMULATOR} ${command})
endif()
execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status STREQUAL STATUS)
  message(FATAL_ERROR "exit status ${status}, expected ${STATUS}\nstdout:\n${out}\nstderr:\n${err}")
endif()
if(NOT err MATCHES "${ERROR_REGEX}")
  message(FATAL_ERROR "standard error does not match '${ERROR_REGEX}':\n${err}")
endif()
