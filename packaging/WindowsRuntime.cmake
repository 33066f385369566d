# What orvana-speedtest.exe needs beside it on Windows, copied from the Qt
# prefix and the compiler's run-time into the build's bin/ folder, so that
# the tool and the test programs start from there as they will installed.
#   OSP_WINDOWS_DLLS     the tool's DLLs (full paths)
#   OSP_WINDOWS_PLUGINS  the tool's Qt plugins: pairs of the plugin folder
#                        (platforms, styles, ...) and the imported Qt target
# The test programs also need Qt5Test.dll and the offscreen platform.

set(OSP_WINDOWS_DLLS)
foreach(module Core Gui Widgets Network Xml)
    list(APPEND OSP_WINDOWS_DLLS $<TARGET_FILE:Qt5::${module}>)
endforeach()
# MinGW's C++ and thread run-times, which Qt's DLLs link too.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(path "${path}" REALPATH)
    if(NOT EXISTS "${path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} has no ${dll}")
    endif()
    list(APPEND OSP_WINDOWS_DLLS ${path})
endforeach()

# Platform, style and the reader of the .ico window icon.
set(OSP_WINDOWS_PLUGINS
    platforms Qt5::QWindowsIntegrationPlugin
    styles Qt5::QWindowsVistaStylePlugin
    imageformats Qt5::QICOPlugin)
set(osp_test_plugins platforms Qt5::QOffscreenIntegrationPlugin)

set(osp_runtime_commands)
foreach(dll IN LISTS OSP_WINDOWS_DLLS ITEMS $<TARGET_FILE:Qt5::Test>)
    list(APPEND osp_runtime_commands
         COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dll} ${CMAKE_BINARY_DIR}/bin/)
endforeach()
set(plugins ${OSP_WINDOWS_PLUGINS} ${osp_test_plugins})
while(plugins)
    list(POP_FRONT plugins type target)
    list(APPEND osp_runtime_commands
         COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/${type}
         COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${target}> ${CMAKE_BINARY_DIR}/bin/${type}/)
endwhile()
add_custom_target(osp_windows_runtime ALL ${osp_runtime_commands}
    COMMENT "Qt and compiler run-time DLLs and Qt plugins beside the executables")
