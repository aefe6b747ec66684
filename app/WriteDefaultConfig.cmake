# Writes the default settings file beside the executables, unless one is
# already there: a user's edits survive every rebuild.
#   cmake -DCONFIG_FILE=<path> -DAPP_VERSION=<version> -P WriteDefaultConfig.cmake
if(NOT CONFIG_FILE OR NOT APP_VERSION)
  message(FATAL_ERROR "CONFIG_FILE and APP_VERSION are required")
endif()
if(EXISTS "${CONFIG_FILE}")
  return()
endif()
file(WRITE "${CONFIG_FILE}"
"[Config]
appname=Vidmill
appver=${APP_VERSION}
Thread_Count=2
Thread_Priority=3
dir=同一目录
")
