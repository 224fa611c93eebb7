# Runs PROGRAM with ARGS (through EMULATOR when set) and checks the exit status
# against EXPECT_EXIT and, when given, standard output and standard error
# against the EXPECT_STDOUT / EXPECT_STDERR regular expressions.
set(command ${PROGRAM})
if(EMULATOR)
  separate_arguments(emulator_list UNIX_COMMAND "${EMULATOR}")
  set(command ${emulator_list} ${PROGRAM})
endif()
# ARGS arrives with its list separators escaped; split it into arguments.
string(REPLACE "\\;" ";" ARGS "${ARGS}")
execute_process(COMMAND ${command} ${ARGS}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "exit status: ${status}\nstdout: [${out}]\nstderr: [${err}]")
if(NOT "${status}" STREQUAL "${EXPECT_EXIT}")
  message(FATAL_ERROR "expected exit status ${EXPECT_EXIT}, got ${status}")
endif()
if(DEFINED EXPECT_STDOUT AND NOT EXPECT_STDOUT STREQUAL "")
  if(NOT out MATCHES "${EXPECT_STDOUT}")
    message(FATAL_ERROR "standard output does not match ${EXPECT_STDOUT}")
  endif()
endif()
if(DEFINED EXPECT_STDERR AND NOT EXPECT_STDERR STREQUAL "")
  if(NOT err MATCHES "${EXPECT_STDERR}")
    message(FATAL_ERROR "standard error does not match ${EXPECT_STDERR}")
  endif()
endif()
