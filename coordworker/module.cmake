toolkit_module(Sarnovet STUB coordworker/Sarnovet.pyi SOURCES
  coordworker/module.cpp
  coordworker/table.cpp
  coordworker/runner.cpp)
