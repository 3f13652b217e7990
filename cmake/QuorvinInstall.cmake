# Installation in two parts, which the Debian packages follow: "cli" (quorvin-cli, qvfaac, their
# manual pages and shell completion: no Qt Widgets, no display) and "gui" (the window, its
# desktop entry, icons, metainfo and documents). Manual pages and the Debian change log are
# installed compressed, as Debian ships them (gzip -9n: no file name or time inside).

set(QV_PACKAGE_DOCS ${PROJECT_BINARY_DIR}/package-docs)
file(MAKE_DIRECTORY ${QV_PACKAGE_DOCS})
configure_file(${PROJECT_SOURCE_DIR}/data/changelog.Debian.in ${QV_PACKAGE_DOCS}/changelog @ONLY)
add_custom_command(OUTPUT ${QV_PACKAGE_DOCS}/changelog.gz
  COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${QV_PACKAGE_DOCS}/changelog
          ${QV_PACKAGE_DOCS}/changelog.gz
  DEPENDS ${QV_PACKAGE_DOCS}/changelog VERBATIM)
add_custom_target(qv_package_changelog ALL DEPENDS ${QV_PACKAGE_DOCS}/changelog.gz)

# Installs the manual page `page` (a path) compressed into section 1, as part `component`.
function(qv_install_man page component)
  get_filename_component(name ${page} NAME)
  set(out ${QV_PACKAGE_DOCS}/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${page} ${out}
    DEPENDS ${page} VERBATIM)
  add_custom_target(qv_man_${name} ALL DEPENDS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

# The copyright file and change log every Debian package carries in its documents folder.
function(qv_install_package_docs package component)
  install(FILES ${PROJECT_SOURCE_DIR}/data/copyright ${QV_PACKAGE_DOCS}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endfunction()
