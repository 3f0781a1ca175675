add_library(runner_desktop STATIC desktop_integration.cc app_icon.cc)
target_include_directories(runner_desktop PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
target_link_libraries(runner_desktop PUBLIC PkgConfig::GTK3 runner_config)
norvale_set_warnings(runner_desktop)
