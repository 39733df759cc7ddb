# Warnings, sanitizers and the choice of platform files.
#
# Platform code lives in files named *.win32.cpp (Windows), *.posix.cpp (any POSIX system) and
# *.linux.cpp (Linux alone: the kernel's own interfaces); comfind_sources() collects a folder's
# sources and keeps only those of the platform being built, so no shared source needs a
# platform #ifdef.

if(WIN32)
  set(COMFIND_PLATFORMS win32)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(COMFIND_PLATFORMS posix linux)
else()
  # The POSIX layer needs the kernel's serial interfaces (custom rates, line counters, the wait
  # for modem lines), which only its Linux files provide; building it for another system would
  # compile Linux code there.
  message(FATAL_ERROR "comfind's serial-port layer has a backend for Linux and Windows only; "
                      "${CMAKE_SYSTEM_NAME} has none yet.")
endif()
set(COMFIND_ALL_PLATFORMS win32 posix linux)

add_compile_options(-Wall -Wextra -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual)
if(COMFIND_WERROR)
  add_compile_options(-Werror)
endif()

if(COMFIND_SANITIZE)
  add_compile_options(-fsanitize=${COMFIND_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${COMFIND_SANITIZE})
endif()

if(MINGW)
  # One self-contained .exe: no libstdc++/libgcc/winpthread DLLs to ship beside it.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
endif()

function(comfind_sources out)
  set(files)
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp)
    list(APPEND files ${found})
  endforeach()
  foreach(platform IN LISTS COMFIND_ALL_PLATFORMS)
    if(NOT platform IN_LIST COMFIND_PLATFORMS)
      list(FILTER files EXCLUDE REGEX "\\.${platform}\\.cpp$")
    endif()
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()
