# vidmill_make_libav_folder(<folder>)
# Creates the "LibAV" folder that the program loads its media libraries
# from: one symbolic link per library, under the file name the loader asks
# for, to the system's shared object (found in the linker's paths).
function(vidmill_make_libav_folder folder)
  set(names
    libavcodec.so.59 libavfilter.so.8 libavformat.so.59 libavutil.so.57
    libswscale.so.6 libswresample.so.4 libSDL2-2.0.so.0 libopencore-amrnb.so.0)
  set(search ${LIBAV_HEADERS_LIBRARY_DIRS} ${CMAKE_C_IMPLICIT_LINK_DIRECTORIES}
      /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib /lib/${CMAKE_LIBRARY_ARCHITECTURE})
  file(MAKE_DIRECTORY ${folder})
  foreach(name IN LISTS names)
    string(MAKE_C_IDENTIFIER "VIDMILL_LIB_${name}" var)
    find_file(${var} NAMES ${name} PATHS ${search} NO_DEFAULT_PATH)
    if(NOT ${var})
      message(FATAL_ERROR "${name} not found (run scripts/bootstrap)")
    endif()
    file(CREATE_LINK ${${var}} ${folder}/${name} SYMBOLIC)
  endforeach()
endfunction()
