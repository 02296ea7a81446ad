# The program is laid out as an application bundle inside the build folder:
#   installer.app/Contents/MacOS/installer
#   installer.app/Contents/Resources/...      (scripts, licence texts, icon)
#   installer.app/Contents/Frameworks/libSitemark.so
set(ZENTAK_BUNDLE_DIR ${PROJECT_BINARY_DIR}/installer.app)
set(ZENTAK_BUNDLE_MACOS ${ZENTAK_BUNDLE_DIR}/Contents/MacOS)
set(ZENTAK_BUNDLE_RESOURCES ${ZENTAK_BUNDLE_DIR}/Contents/Resources)
set(ZENTAK_BUNDLE_FRAMEWORKS ${ZENTAK_BUNDLE_DIR}/Contents/Frameworks)
file(MAKE_DIRECTORY ${ZENTAK_BUNDLE_MACOS} ${ZENTAK_BUNDLE_RESOURCES} ${ZENTAK_BUNDLE_FRAMEWORKS})
