# Install rules, man pages, the systemd unit and the Debian packages.
#
# Components: server (kestrel-server, the demo, docs, the unit), client
# (kestrel), gui (kestrel-gui). `cmake --install build --prefix DIR` installs
# them all; `cpack -G DEB` in the build folder makes one .deb per component.
include(GNUInstallDirs)

# Where the packages put the programs; the systemd unit names it.
set(KESTREL_PACKAGE_PREFIX "/usr" CACHE PATH "Installation prefix of the Debian packages")

set(kestrel_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/kestrel-server)
set(kestrel_share_dir ${CMAKE_INSTALL_DATADIR}/kestrel-server)

install(TARGETS kestrel-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
install(TARGETS kestrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
if(TARGET kestrel-gui)
  install(TARGETS kestrel-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/demo/ DESTINATION ${kestrel_share_dir}/demo
        COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/operations.md
              ${PROJECT_SOURCE_DIR}/docs/rights.md ${PROJECT_SOURCE_DIR}/docs/architecture.md
        DESTINATION ${kestrel_doc_dir} COMPONENT server)
install(FILES ${PROJECT_SOURCE_DIR}/docs/cli.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestrel
        COMPONENT client)

configure_file(${PROJECT_SOURCE_DIR}/packaging/kestrel-server.service.in
               ${PROJECT_BINARY_DIR}/packaging/kestrel-server.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/kestrel-server.service
        DESTINATION lib/systemd/system COMPONENT server)

# Completion files of the kestrel client, when they exist.
foreach(shell_file bash/kestrel zsh/_kestrel)
  if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/completion/${shell_file})
    get_filename_component(shell ${shell_file} DIRECTORY)
    if(shell STREQUAL "bash")
      set(completion_dir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
    else()
      set(completion_dir ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
    endif()
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/completion/${shell_file}
            DESTINATION ${completion_dir} COMPONENT client)
  endif()
endforeach()

# Man pages made from each program's --help and --version by help2man, so
# they always say what --help says.
find_program(HELP2MAN help2man)
function(kestrel_man_page target component description)
  if(NOT HELP2MAN OR NOT TARGET ${target})
    return()
  endif()
  set(page ${PROJECT_BINARY_DIR}/man/${target}.1)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 --version-string=${PROJECT_VERSION}
            --name=${description} --output=${page} $<TARGET_FILE:${target}>
    DEPENDS ${target}
    COMMENT "Man page of ${target}"
    VERBATIM)
  add_custom_target(man-${target} ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()
if(NOT HELP2MAN)
  message(STATUS "help2man not found: no man pages (scripts/install-deps.sh installs it)")
endif()
kestrel_man_page(kestrel-server server "Kestrel file-synchronisation server")
kestrel_man_page(kestrel client "Kestrel command-line client and remote administration tool")
kestrel_man_page(kestrel-gui gui "Kestrel file-synchronisation server with a desktop window")

# Debian packages, one per component.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR "Kestrel")
set(CPACK_PACKAGE_CONTACT "Kestrel maintainers <kestrel@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${KESTREL_PACKAGE_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME kestrel-server)
set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME kestrel-client)
set(CPACK_DEBIAN_GUI_PACKAGE_NAME kestrel-gui)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "Kestrel file-synchronisation server (headless, systemd service)")
set(CPACK_COMPONENT_CLIENT_DESCRIPTION "Kestrel command-line client and remote administration tool")
set(CPACK_COMPONENT_GUI_DESCRIPTION "Kestrel file-synchronisation server with a Qt desktop window")
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser")
set(kestrel_scripts ${PROJECT_BINARY_DIR}/packaging/debian)
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/server-${script}
                 ${kestrel_scripts}/${script} COPYONLY)
  list(APPEND kestrel_server_scripts ${kestrel_scripts}/${script})
endforeach()
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA ${kestrel_server_scripts})
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(TARGET kestrel-gui)
  set(CPACK_COMPONENTS_ALL server client gui)
else()
  set(CPACK_COMPONENTS_ALL server client)
endif()
include(CPack)
