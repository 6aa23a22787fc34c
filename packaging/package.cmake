# `make package`: Debian packages, one per install component. atb-edit holds the main component
# (whatever is installed without a component of its own): both programs, their manual pages, the
# documentation and the bash completion, with its library dependencies found by dpkg-shlibdeps.
# lintian --fail-on error,warning passes on it (tools/lint-package, a test).
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL main)
set(CPACK_PACKAGE_NAME atb-edit)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "atb-edit maintainers <maintainers@atb-edit.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Each description's first line is its summary; the others stay under 80 columns.
set(CPACK_DEBIAN_MAIN_PACKAGE_NAME atb-edit)
set(CPACK_DEBIAN_MAIN_PACKAGE_SUGGESTS git)
set(CPACK_DEBIAN_MAIN_DESCRIPTION "edit binary attribute files (.atb) in place
atb edits one attribute file in a console dialogue, one table at a time,
writing every change straight into the file. atbutil works on whole files
without the dialogue: it dumps, checks, gets and sets values, rebuilds files
from JSON, finds and updates entries across folders, and writes, applies and
merges patches, which lets git diff and merge attribute files.")

# python3-atbfile: the Python module, made only when a "python" component has install rules (its
# files in /usr/lib/python3/dist-packages). Without it atb-edit is the only package. A module of
# pure Python would set CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE to all.
get_cmake_property(ATB_COMPONENTS COMPONENTS)
if("python" IN_LIST ATB_COMPONENTS)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-atbfile)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "atb-edit (= ${PROJECT_VERSION}), python3")
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "read and change attribute files (.atb) from Python
atbfile is a Python 3 module for the binary attribute files that atb and
atbutil edit.")
  # Every package has its own copyright and changelog.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright
          DESTINATION share/doc/python3-atbfile COMPONENT python)
  install(CODE "set(ATB_SOURCE_DIR [[${CMAKE_CURRENT_SOURCE_DIR}]])
    set(ATB_BINARY_DIR [[${CMAKE_CURRENT_BINARY_DIR}]])
    set(ATB_PAGES)
    set(ATB_CHANGELOG_DIR share/doc/python3-atbfile)
    include([[${CMAKE_CURRENT_SOURCE_DIR}/packaging/install-compressed.cmake]])"
          COMPONENT python)
endif()

include(CPack)
