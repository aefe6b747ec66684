# Installation: cmake --install <build> [--prefix <prefix>]
#
# The program finds its media libraries in "LibAV" beside its executable, its
# default settings in "Config.ini" and its help pages beside its executable
# (the folder of /proc/self/exe, symbolic links resolved). So the
# executables, LibAV, Config.ini and the help pages stay together in one
# private folder, and the commands in <prefix>/bin are relative symbolic
# links into it:
#
#   <prefix>/bin/vidmill, vidmill-cli      -> ../lib/vidmill/<same name>
#   <prefix>/lib/vidmill/vidmill, vidmill-cli
#   <prefix>/lib/vidmill/Config.ini        the default settings (read only for
#                                          users: the program then keeps its
#                                          settings in ~/.config/vidmill/)
#   <prefix>/lib/vidmill/help_zh.html, help_en.html   the help pages
#   <prefix>/lib/vidmill/LibAV/            links to the system's FFmpeg, SDL
#                                          and opencore-amrnb, and libmyutil.so
#   <prefix>/share/applications/vidmill.desktop
#   <prefix>/share/icons/hicolor/scalable/apps/vidmill.svg
#   <prefix>/share/icons/hicolor/<N>x<N>/apps/vidmill.png
#
# Included from app/CMakeLists.txt once the targets vidmill, vidmill-cli and
# myutil and the list VIDMILL_HELP_PAGES exist.

include(GNUInstallDirs)

set(VIDMILL_INSTALL_APPDIR "lib/vidmill" CACHE STRING
  "Folder under the prefix for the executables, their LibAV folder and Config.ini")
# The PNG sizes of the icon (also read by the installation test).
set(VIDMILL_ICON_SIZES 16 24 32 48 64 128 256 CACHE INTERNAL "Icon sizes rendered for installation")

set(_vidmill_desktop_src ${PROJECT_SOURCE_DIR}/app/desktop)
set(_vidmill_stage ${CMAKE_CURRENT_BINARY_DIR}/install-stage)
file(MAKE_DIRECTORY ${_vidmill_stage})

# The executables and the helper library.
install(TARGETS vidmill vidmill-cli RUNTIME DESTINATION ${VIDMILL_INSTALL_APPDIR})
install(TARGETS myutil LIBRARY DESTINATION ${VIDMILL_INSTALL_APPDIR}/LibAV)

# The links to the system's libraries, copied as links (absolute targets in
# the system's library folder). libmyutil.so comes from its target above.
install(DIRECTORY ${VIDMILL_LIBAV_DIR}/ DESTINATION ${VIDMILL_INSTALL_APPDIR}/LibAV
  USE_SOURCE_PERMISSIONS
  PATTERN "libmyutil.so" EXCLUDE)

# A pristine default Config.ini: the one in the build's bin folder keeps the
# edits of whoever ran the program from the build tree, so a fresh copy is
# written for installation with the same script, at every configure.
set(_vidmill_config ${_vidmill_stage}/Config.ini)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/app/WriteDefaultConfig.cmake)
file(REMOVE ${_vidmill_config})
execute_process(
  COMMAND ${CMAKE_COMMAND} -DCONFIG_FILE=${_vidmill_config} -DAPP_VERSION=${PROJECT_VERSION}
    -P ${PROJECT_SOURCE_DIR}/app/WriteDefaultConfig.cmake
  RESULT_VARIABLE _vidmill_config_result)
if(NOT _vidmill_config_result EQUAL 0 OR NOT EXISTS ${_vidmill_config})
  message(FATAL_ERROR "Could not write the default settings for installation")
endif()
install(FILES ${_vidmill_config} DESTINATION ${VIDMILL_INSTALL_APPDIR})

# The help pages, as the build tree has them beside the executable.
list(TRANSFORM VIDMILL_HELP_PAGES PREPEND ${PROJECT_SOURCE_DIR}/app/help/ OUTPUT_VARIABLE _vidmill_help_sources)
install(FILES ${_vidmill_help_sources} DESTINATION ${VIDMILL_INSTALL_APPDIR})

# <prefix>/bin/<name>: relative links to the executables. /proc/self/exe names
# the link's target, so the program still finds LibAV and Config.ini.
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}" OR IS_ABSOLUTE "${VIDMILL_INSTALL_APPDIR}")
  message(FATAL_ERROR "CMAKE_INSTALL_BINDIR and VIDMILL_INSTALL_APPDIR must be relative to the prefix")
endif()
file(RELATIVE_PATH _vidmill_bin_to_app /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${VIDMILL_INSTALL_APPDIR})
file(MAKE_DIRECTORY ${_vidmill_stage}/bin)
foreach(_vidmill_exe vidmill vidmill-cli)
  file(CREATE_LINK ${_vidmill_bin_to_app}/${_vidmill_exe} ${_vidmill_stage}/bin/${_vidmill_exe} SYMBOLIC)
  # install(FILES) installs a symbolic link as a link.
  install(FILES ${_vidmill_stage}/bin/${_vidmill_exe} DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# The desktop entry and the icon: the SVG as drawn, and PNGs rendered from it.
install(FILES ${_vidmill_desktop_src}/vidmill.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_vidmill_desktop_src}/vidmill.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

add_executable(vidmill-render-icon ${_vidmill_desktop_src}/RenderIcon.cpp)
target_link_libraries(vidmill-render-icon PRIVATE Qt6::Gui vidmill_options)
set_target_properties(vidmill-render-icon PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

set(_vidmill_pngs)
set(_vidmill_render_args)
foreach(_vidmill_size IN LISTS VIDMILL_ICON_SIZES)
  set(_vidmill_png ${_vidmill_stage}/icons/${_vidmill_size}x${_vidmill_size}/vidmill.png)
  file(MAKE_DIRECTORY ${_vidmill_stage}/icons/${_vidmill_size}x${_vidmill_size})
  list(APPEND _vidmill_pngs ${_vidmill_png})
  list(APPEND _vidmill_render_args ${_vidmill_size} ${_vidmill_png})
  install(FILES ${_vidmill_png}
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_vidmill_size}x${_vidmill_size}/apps)
endforeach()
string(JOIN " " _vidmill_sizes_text ${VIDMILL_ICON_SIZES})
add_custom_command(OUTPUT ${_vidmill_pngs}
  COMMAND vidmill-render-icon ${_vidmill_desktop_src}/vidmill.svg ${_vidmill_render_args}
  DEPENDS vidmill-render-icon ${_vidmill_desktop_src}/vidmill.svg
  COMMENT "Rendering the icon at ${_vidmill_sizes_text} pixels"
  VERBATIM)
add_custom_target(vidmill_icons ALL DEPENDS ${_vidmill_pngs})
