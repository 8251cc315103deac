# SPDX-License-Identifier: BSD-2-Clause
# Removes every file that the last install of this build tree wrote, as
# listed in its manifest, under the same DESTDIR, with the names under
# /dev/ebs that its rules gave.
#   cmake -DVOLSCAN_MANIFEST=FILE -DVOLSCAN_SYSTEM=NAME -DVOLSCAN_SOURCE_DIR=DIR
#         -P uninstall.cmake
if(NOT EXISTS "${VOLSCAN_MANIFEST}")
  message(FATAL_ERROR "Nothing to uninstall: ${VOLSCAN_MANIFEST} does not exist (install first)")
endif()
file(STRINGS "${VOLSCAN_MANIFEST}" volscan_files)
if(VOLSCAN_SYSTEM STREQUAL "FreeBSD")
  # The links go while the script that made them is still there.
  foreach(file IN LISTS volscan_files)
    if(file MATCHES "/volscan-ebs-links$")
      execute_process(COMMAND sh "${VOLSCAN_SOURCE_DIR}/naming/devd-refresh.sh"
                              DESTROY-ALL "${file}" "$ENV{DESTDIR}")
    endif()
  endforeach()
endif()
foreach(file IN LISTS volscan_files)
  set(path "$ENV{DESTDIR}${file}")
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing: ${path}")
    file(REMOVE "${path}")
  endif()
endforeach()
if(VOLSCAN_SYSTEM STREQUAL "Linux")
  execute_process(COMMAND sh "${VOLSCAN_SOURCE_DIR}/naming/udev-refresh.sh" "$ENV{DESTDIR}")
endif()
