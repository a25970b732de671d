# The resend test (cmake -P): AGENT is hbagent, CONNECTOR the sample
# connector library, SCENARIOS this folder, WORK a scratch folder.
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(db "${WORK}/customers.db")

execute_process(
  COMMAND "${AGENT}" --connector "${CONNECTOR}" -D "DatabasePath=${db}" -D TestExitAfterEvents=2
          "${SCENARIOS}/resend_first.scenario"
  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "first run (exit status ${code}):\n${out}${err}")
if(NOT code EQUAL 3)
  message(FATAL_ERROR "the first run should end with the connector's exit status 3, not ${code}")
endif()
foreach(id 1 2)
  if(NOT out MATCHES "ObjectEventId \"SQLiteDemo_event_${id}\"")
    message(FATAL_ERROR "the first run did not publish event ${id}")
  endif()
endforeach()
if(out MATCHES "SQLiteDemo_event_3")
  message(FATAL_ERROR "the first run went on after the stop")
endif()

execute_process(
  COMMAND "${AGENT}" --connector "${CONNECTOR}" -D "DatabasePath=${db}" "${SCENARIOS}/resend_second.scenario"
  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
message(STATUS "second run (exit status ${code}):\n${out}${err}")
if(NOT code EQUAL 0)
  message(FATAL_ERROR "the second run's expectations failed")
endif()
if(out MATCHES "SQLiteDemo_event_1\"")
  message(FATAL_ERROR "the event marked done was published again")
endif()
