# The game frame: frame server, sessions, rooms, command channel, coin
# settlement, purchase and refund, login verification, lobby messages; on the
# scripted driver, the fake database and the scripted test game modules.
qv_add_test(gameframe_test
  SOURCES qvpackets_test.cpp qvserver_test.cpp qvsession_test.cpp qvroom_test.cpp qvsettle_test.cpp
          qvcoin_test.cpp qvlease_test.cpp qvgroupcommit_test.cpp
  LIBS qv_framework qv_test_support ${CMAKE_DL_LIBS})
qv_use_test_games(gameframe_test)
# One test runs the shipped example game in the frame.
add_dependencies(gameframe_test ExampleGame)
target_compile_definitions(gameframe_test PRIVATE "QV_EXAMPLE_GAME_PATH=\"$<TARGET_FILE:ExampleGame>\"")
# The frame's metrics record, and the host's metrics page and endpoint.
qv_add_test(metrics_test SOURCES qvmetrics_test.cpp hostmetrics_test.cpp
  LIBS qv_framework qv_host_metrics qv_test_support ${CMAKE_DL_LIBS})
qv_use_test_games(metrics_test)
