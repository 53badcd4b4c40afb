toolkit_module(Korvanth STUB taskrunner/Korvanth.pyi SOURCES
  taskrunner/module.cpp
  taskrunner/runner.cpp
  taskrunner/gate.cpp
  taskrunner/process.cpp
  taskrunner/exitwait.cpp
  taskrunner/watchdog.cpp
  taskrunner/evaluation.cpp
  taskrunner/group.cpp)
