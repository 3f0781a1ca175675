# The desktop integration and the window icon, and the bundle's data files
# they read: the template desktop entry and the icon.

add_library(runner_desktop STATIC desktop_integration.cc app_icon.cc)
target_include_directories(runner_desktop PUBLIC "${CMAKE_CURRENT_SOURCE_DIR}")
target_link_libraries(runner_desktop PUBLIC PkgConfig::GTK3 runner_config)
norvale_set_warnings(runner_desktop)

# The build tree is a runnable bundle: bin/runner looks for data/app_icon.png
# beside itself and for the template in ../share/applications.
set(RUNNER_DESKTOP_TEMPLATE "${NORVALE_BUNDLE_DIR}/share/applications/${APPLICATION_ID}.desktop")
set(RUNNER_APP_ICON "${NORVALE_BUNDLE_DIR}/bin/data/app_icon.png")
configure_file(data/app.desktop.in "${RUNNER_DESKTOP_TEMPLATE}" @ONLY)
configure_file(data/app_icon.png "${RUNNER_APP_ICON}" COPYONLY)

install(FILES "${RUNNER_DESKTOP_TEMPLATE}" DESTINATION share/applications)
install(FILES data/app_icon.png DESTINATION bin/data)
