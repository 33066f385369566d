# The build's bin/ folder as the install folder holds it: the DLLs and the Qt
# plugins (OSP_QT_PLUGINS) copied beside the tool, so that it and the test
# programs start from there, under Wine too. The test programs also need
# Qt5Test.dll and the offscreen platform.

set(osp_dlls)
foreach(module Core Gui Widgets Network Xml Test)
    list(APPEND osp_dlls $<TARGET_FILE:Qt5::${module}>)
endforeach()
# MinGW's C++ and thread run-times, which Qt's DLLs link too.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(path "${path}" REALPATH)
    if(NOT EXISTS "${path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} has no ${dll}")
    endif()
    list(APPEND osp_dlls ${path})
endforeach()

set(commands)
foreach(dll IN LISTS osp_dlls)
    list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dll} ${CMAKE_BINARY_DIR}/bin/)
endforeach()
set(plugins ${OSP_QT_PLUGINS} platforms Qt5::QOffscreenIntegrationPlugin)
while(plugins)
    list(POP_FRONT plugins folder plugin)
    list(APPEND commands
         COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/${folder}
         COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${plugin}> ${CMAKE_BINARY_DIR}/bin/${folder}/)
endwhile()
add_custom_target(osp_build_tree_runtime ALL ${commands}
    COMMENT "Qt and compiler run-time DLLs and Qt plugins beside the executables")
