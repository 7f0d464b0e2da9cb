# The framework driven through CommandProc from start to stop, on the scripted
# network driver, the recording fake database and the scripted test game.
qv_add_test(gameframe_commandproc_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/gameframe_commandproc_test.cpp
  LIBS qv_framework qv_test_support ${CMAKE_DL_LIBS})
qv_use_test_games(gameframe_commandproc_test)
