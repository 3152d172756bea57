# The program the settings' fork-order test starts: defaults made by a global
# initialiser, before the system log's objects are initialised.
if(TARGET platform_foundation_tests)
  add_executable(defaults_fork_order_child
    "${CMAKE_CURRENT_SOURCE_DIR}/platform/foundation/defaults_fork_order_child.cc")
  target_link_libraries(defaults_fork_order_child PRIVATE platform_foundation platform_syslog Threads::Threads)
  add_dependencies(platform_foundation_tests defaults_fork_order_child)
  target_compile_definitions(platform_foundation_tests
    PRIVATE PLOTWICK_FORK_ORDER_CHILD="$<TARGET_FILE:defaults_fork_order_child>")
endif()
