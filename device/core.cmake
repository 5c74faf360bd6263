# The portable device logic: shared state, waits, discovery, the update run,
# the update worker and its log, the worker threads, the report trace.
target_sources(kbcore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/device_events.cpp
  ${CMAKE_CURRENT_LIST_DIR}/device_state.cpp
  ${CMAKE_CURRENT_LIST_DIR}/discovery.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hid_trace.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sleep.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/update_worker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/workers.cpp)
