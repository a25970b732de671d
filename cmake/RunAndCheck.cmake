# Runs COMMAND (a list) and checks its exit status (EXPECT_EXIT) and,
# when given, that its standard error matches EXPECT_STDERR and its standard
# output matches EXPECT_STDOUT (regular expressions), and with EXPECT_ONE_LINE
# that standard error is a single line. Used with cmake -P by
# tests whose program must fail in a particular way.
execute_process(COMMAND ${COMMAND} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(failed "")
if(NOT code STREQUAL "${EXPECT_EXIT}")
  string(APPEND failed "exit status ${code}, expected ${EXPECT_EXIT}\n")
endif()
if(DEFINED EXPECT_STDERR AND NOT err MATCHES "${EXPECT_STDERR}")
  string(APPEND failed "standard error does not match: ${EXPECT_STDERR}\n")
endif()
if(EXPECT_ONE_LINE AND NOT err MATCHES "^[^\n]+\n$")
  string(APPEND failed "standard error is not one line\n")
endif()
if(DEFINED EXPECT_STDOUT AND NOT out MATCHES "${EXPECT_STDOUT}")
  string(APPEND failed "standard output does not match: ${EXPECT_STDOUT}\n")
endif()
if(failed)
  message(FATAL_ERROR "${failed}--- standard output:\n${out}--- standard error:\n${err}")
endif()
message(STATUS "as expected: exit status ${code}\n${err}")
