toolkit_module(Delmique STUB sysutil/Delmique.pyi SOURCES sysutil/module.cpp)
