# Run by cmake --install (and so by cpack) to install what goes in compressed: the manual pages
# and the changelog, gzip -9n as Debian wants them (no name or time inside, so the same source
# makes the same bytes). The pages are written here rather than when the build is configured,
# because only the install knows its prefix, and the pages name the documentation where it lies
# (/usr/share/doc/atb-edit in the package, under PREFIX for make install).
#
# The install(CODE) that includes this sets ATB_SOURCE_DIR, ATB_BINARY_DIR, PROJECT_VERSION,
# ATB_PAGES (the pages to install, may be empty) and ATB_CHANGELOG_DIR (where the changelog goes,
# below the prefix).

# A folder of its own for each place installed to: cpack and make install may run at once.
string(MD5 stage "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(stage "${ATB_BINARY_DIR}/install-stage/${stage}")
file(MAKE_DIRECTORY "${stage}")

function(atb_gzip file)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip -9n ${file} failed: ${failed}")
  endif()
endfunction()

set(ATB_DOC_DIR "${CMAKE_INSTALL_PREFIX}/share/doc/atb-edit")
set(pages)
foreach(page IN LISTS ATB_PAGES)
  configure_file("${ATB_SOURCE_DIR}/doc/${page}.in" "${stage}/${page}" @ONLY)
  atb_gzip("${stage}/${page}")
  list(APPEND pages "${stage}/${page}.gz")
endforeach()
if(pages)
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/man/man1" TYPE FILE FILES ${pages})
endif()

configure_file("${ATB_SOURCE_DIR}/packaging/changelog" "${stage}/changelog" COPYONLY)
atb_gzip("${stage}/changelog")
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${ATB_CHANGELOG_DIR}" TYPE FILE
     FILES "${stage}/changelog.gz")

file(REMOVE_RECURSE "${stage}")
