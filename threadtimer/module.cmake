toolkit_module(Pravenor STUB threadtimer/Pravenor.pyi SOURCES threadtimer/module.cpp)
