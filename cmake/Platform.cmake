# Warnings, sanitizers and the choice of platform files.
#
# Platform code lives in files named *.posix.cpp or *.win32.cpp; comfind_sources() collects
# a folder's sources and keeps only those of the platform being built, so no shared source
# needs a platform #ifdef.

if(WIN32)
  set(COMFIND_PLATFORM win32)
  set(COMFIND_OTHER_PLATFORM posix)
else()
  set(COMFIND_PLATFORM posix)
  set(COMFIND_OTHER_PLATFORM win32)
endif()

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
  list(FILTER files EXCLUDE REGEX "\\.${COMFIND_OTHER_PLATFORM}\\.cpp$")
  set(${out} ${files} PARENT_SCOPE)
endfunction()
