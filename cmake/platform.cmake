# One header per class, one source per platform beside it: foo.h, foo.cpp (shared),
# foo_win32.cpp or foo_posix.cpp. Shared code never branches on the platform.
if(WIN32)
  set(ZARVEK_PLATFORM win32)
  # Each .exe runs on its own: no MinGW runtime DLLs beside it.
  add_link_options(-static)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
else()
  set(ZARVEK_PLATFORM posix)
endif()

# zarvek_platform_sources(target dir base...): adds dir/base_<platform>.cpp for each base.
function(zarvek_platform_sources target)
  foreach(base IN LISTS ARGN)
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/${base}_${ZARVEK_PLATFORM}.cpp)
  endforeach()
endfunction()
