# SPDX-License-Identifier: BSD-2-Clause
# What an install puts beside the program: the manual page, the bash
# completion, and the rules that give EBS volumes stable names at boot (udev
# on Linux, devd on FreeBSD). Names that lead to the same file are symbolic
# links made here and installed as links.

set(VOLSCAN_EXTRAS_STAGE ${CMAKE_CURRENT_BINARY_DIR}/install-extras)
file(MAKE_DIRECTORY ${VOLSCAN_EXTRAS_STAGE}/man ${VOLSCAN_EXTRAS_STAGE}/completion)

install(FILES man/volscan.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES completion/volscan
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
foreach(alias IN LISTS VOLSCAN_ALIASES)
  file(CREATE_LINK volscan.8 ${VOLSCAN_EXTRAS_STAGE}/man/${alias}.8 SYMBOLIC)
  install(FILES ${VOLSCAN_EXTRAS_STAGE}/man/${alias}.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  # bash-completion loads a completion by the name of the command.
  file(CREATE_LINK volscan ${VOLSCAN_EXTRAS_STAGE}/completion/${alias} SYMBOLIC)
  install(FILES ${VOLSCAN_EXTRAS_STAGE}/completion/${alias}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endforeach()

# The naming rules run the installed volscan-id, so they are filled in at
# install time, when "cmake --install --prefix" may have moved the prefix.
foreach(dir BINDIR LIBEXECDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(volscan_install_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(volscan_install_${dir} "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()

# volscan_install_configured(SOURCE DESTINATION NAME TYPE): fills @VARIABLE@
# in SOURCE from the install-time paths and installs it as DESTINATION/NAME.
# The filled copy gets a name of its own, so that two installs from one
# build tree at once do not write the same file.
set(volscan_install_template [=[
set(CMAKE_INSTALL_FULL_BINDIR "@volscan_install_BINDIR@")
set(VOLSCAN_EBS_LINKS "@volscan_install_LIBEXECDIR@/volscan-ebs-links")
string(RANDOM LENGTH 12 volscan_stage_id)
set(volscan_staged "@VOLSCAN_EXTRAS_STAGE@/@volscan_name@.${volscan_stage_id}")
configure_file("@volscan_source@" "${volscan_staged}" @ONLY)
file(INSTALL DESTINATION "@volscan_destination@" TYPE @volscan_type@
     RENAME "@volscan_name@" FILES "${volscan_staged}")
file(REMOVE "${volscan_staged}")
unset(CMAKE_INSTALL_FULL_BINDIR)
unset(VOLSCAN_EBS_LINKS)
]=])
# An optional fifth argument names the install component (default: naming).
function(volscan_install_configured volscan_source volscan_destination volscan_name volscan_type)
  string(CONFIGURE "${volscan_install_template}" code @ONLY)
  set(component naming)
  if(ARGC GREATER 4)
    set(component ${ARGV4})
  endif()
  install(CODE "${code}" COMPONENT ${component})
endfunction()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # udev reads /etc, /run and its own rules folder, whatever the prefix: the
  # rules go there, and call volscan-id under the prefix by its full path.
  if(NOT DEFINED VOLSCAN_UDEV_RULES_DIR)
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
      pkg_get_variable(volscan_udevdir udev udevdir)
    endif()
    if(volscan_udevdir)
      set(volscan_udev_rules "${volscan_udevdir}/rules.d")
    elseif(NOT IS_DIRECTORY /usr/lib/udev/rules.d AND IS_DIRECTORY /lib/udev/rules.d)
      set(volscan_udev_rules /lib/udev/rules.d)
    else()
      set(volscan_udev_rules /usr/lib/udev/rules.d)
    endif()
  endif()
  set(VOLSCAN_UDEV_RULES_DIR "${volscan_udev_rules}" CACHE PATH
      "The folder udev reads naming rules from (udev's own rules folder)")
  message(STATUS "udev rules go to ${VOLSCAN_UDEV_RULES_DIR}")
  volscan_install_configured(${CMAKE_CURRENT_SOURCE_DIR}/naming/65-volscan-ebs.rules.in
                             "${VOLSCAN_UDEV_RULES_DIR}" 65-volscan-ebs.rules FILE)
  # As root on the machine itself, udev takes the rules at once and names
  # the volumes attached now; otherwise the install says what to run.
  install(CODE "execute_process(COMMAND sh \"${CMAKE_CURRENT_SOURCE_DIR}/naming/udev-refresh.sh\"
                                        \"\$ENV{DESTDIR}\")"
          COMPONENT naming)
elseif(CMAKE_SYSTEM_NAME STREQUAL "FreeBSD")
  # devd reads /etc/devd and /usr/local/etc/devd.
  volscan_install_configured(${CMAKE_CURRENT_SOURCE_DIR}/naming/volscan-ebs.conf.in
                             "\${CMAKE_INSTALL_PREFIX}/etc/devd" volscan-ebs.conf FILE)
  volscan_install_configured(${CMAKE_CURRENT_SOURCE_DIR}/naming/volscan-ebs-links.in
                             "${volscan_install_LIBEXECDIR}" volscan-ebs-links PROGRAM)
  # devd reads its configuration when it starts; the volumes attached now
  # get their links from the script itself.
  install(CODE "execute_process(COMMAND sh \"${CMAKE_CURRENT_SOURCE_DIR}/naming/devd-refresh.sh\"
                                        CREATE-ALL \"${volscan_install_LIBEXECDIR}/volscan-ebs-links\"
                                        \"\$ENV{DESTDIR}\")"
          COMPONENT naming)
endif()

# make uninstall: removes every file the last install wrote (its manifest),
# under the same DESTDIR, then lets udev drop the names as above.
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DVOLSCAN_MANIFEST=${PROJECT_BINARY_DIR}/install_manifest.txt
          -DVOLSCAN_SYSTEM=${CMAKE_SYSTEM_NAME} -DVOLSCAN_SOURCE_DIR=${PROJECT_SOURCE_DIR}
          -P ${PROJECT_SOURCE_DIR}/cmake/uninstall.cmake
  VERBATIM)
