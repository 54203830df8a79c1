# Install rules and CPack settings for the programs defined elsewhere.
# Linux: two Debian packages of one source, as Debian would ship them:
#   stm32cmd      the flasher: stm32cmd, its man page and the udev rule
#                 (install component "flasher"; needs libusb only)
#   stm32-vboard  the virtual board: stm32-vboard, its open-guard preload
#                 library and its man page (component "vboard"; needs umockdev)
# Windows (cross build): stm32cmd.exe, the GUI, the libusb-1.0.dll they load
# and a README, packed as one flat .zip.
#   cmake --build build --target package        -> build/stm32cmd_<ver>_<arch>.deb
#                                                  build/stm32-vboard_<ver>_<arch>.deb
#   cmake --build build-win --target package    -> build-win/stm32cmd-<ver>-win64.zip
# scripts/stages/60-package.sh makes and checks them.
#
# The core library is static and private to these programs (no stable ABI,
# no package config), so neither it nor stm32.h is installed.
include(GNUInstallDirs)

set(STM32_DIST_DIR ${PROJECT_SOURCE_DIR}/dist)

if(WIN32)
  # A zip unpacked anywhere: everything side by side in its top folder.
  set(STM32_INSTALL_BINDIR .)
else()
  set(STM32_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
endif()

if(TARGET stm32cmd)
  install(TARGETS stm32cmd RUNTIME DESTINATION ${STM32_INSTALL_BINDIR} COMPONENT flasher)
endif()

if(WIN32)
  if(TARGET TidewireSTM32Utility)
    install(TARGETS TidewireSTM32Utility RUNTIME DESTINATION ${STM32_INSTALL_BINDIR} COMPONENT flasher)
  endif()
  # Both programs load it from their own folder.
  install(FILES ${STM32_LIBUSB_DLL} DESTINATION ${STM32_INSTALL_BINDIR} COMPONENT flasher)
  # Notepad of older Windows shows LF-only text as one long line.
  configure_file(${STM32_DIST_DIR}/windows/README.txt ${CMAKE_CURRENT_BINARY_DIR}/dist/README.txt
    @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dist/README.txt DESTINATION . COMPONENT flasher)
else()
  if(TARGET stm32-vboard)
    install(TARGETS stm32-vboard RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vboard)
    # The preload library behind --deny-open, in the private folder where
    # stm32-vboard looks for it (see vboard/CMakeLists.txt).
    get_target_property(_guard_dir vboard_open_guard STM32_INSTALL_DIR)
    install(TARGETS vboard_open_guard LIBRARY DESTINATION ${_guard_dir} COMPONENT vboard)
  endif()

  # Debian wants compressed man pages; -n keeps the package reproducible.
  # They are made when the tree is configured (again whenever a page
  # changes), so that `cmake --install` works after a build of the programs
  # alone and never has to write into the build tree itself.
  set(_pages stm32cmd.1)
  set(_page_component_stm32cmd.1 flasher)
  if(TARGET stm32-vboard)
    list(APPEND _pages stm32-vboard.1)
    set(_page_component_stm32-vboard.1 vboard)
  endif()
  find_program(STM32_GZIP gzip)
  foreach(_page IN LISTS _pages)
    set(_source ${STM32_DIST_DIR}/man/${_page})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_source})
    set(_installed ${_source})
    if(STM32_GZIP)
      set(_installed ${CMAKE_CURRENT_BINARY_DIR}/dist/${_page}.gz)
      file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/dist)
      execute_process(COMMAND ${STM32_GZIP} -9nc ${_source}
        OUTPUT_FILE ${_installed} RESULT_VARIABLE _gzip_result)
      if(NOT _gzip_result EQUAL 0)
        message(FATAL_ERROR "gzip could not compress ${_source}: ${_gzip_result}")
      endif()
    endif()
    install(FILES ${_installed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${_page_component_${_page}})
  endforeach()

  # Under the prefix for a plain install (the admin links or copies it into
  # /etc/udev/rules.d); the .deb moves it to /lib/udev/rules.d, see below.
  set(STM32_UDEV_RULE ${STM32_DIST_DIR}/linux/60-stm32-dfu.rules)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND EXISTS ${STM32_UDEV_RULE})
    install(FILES ${STM32_UDEV_RULE} DESTINATION lib/udev/rules.d COMPONENT flasher)
  endif()
endif()

# --- CPack ------------------------------------------------------------------
set(CPACK_PACKAGE_NAME stm32cmd)
set(CPACK_PACKAGE_VENDOR "${PROJECT_NAME} developers")
set(CPACK_PACKAGE_CONTACT "${PROJECT_NAME} developers <${PROJECT_NAME}@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Flasher for STM32 boards in USB DFU mode (list, program, read, erase)")
set(CPACK_PACKAGE_DESCRIPTION
  "stm32cmd lists STM32 boards that run the system bootloader in USB DFU mode\n\
and uploads images into their internal flash with read-back, erase, write\n\
and byte-by-byte verify, downloads flash into a file and erases flash.\n\
Images may be raw binary, Intel HEX, Motorola S-record, ELF or DfuSe (.dfu).\n\
Part of ${PROJECT_NAME}.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})

if(WIN32)
  # One zip with every component in it.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${CPACK_PACKAGE_VERSION}-${CPACK_SYSTEM_NAME})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
elseif(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # No package format of ours elsewhere; a tarball of the install tree.
  set(CPACK_GENERATOR TGZ)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SOURCE ${PROJECT_NAME})
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

  set(CPACK_DEBIAN_FLASHER_PACKAGE_NAME stm32cmd)
  # Each package's first description line is its own summary, so the
  # shared one (which CPack would put first in both) is left out.
  set(CPACK_DEBIAN_FLASHER_DESCRIPTION
    "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}\n${CPACK_PACKAGE_DESCRIPTION}")
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
  set(CPACK_DEBIAN_VBOARD_PACKAGE_NAME stm32-vboard)
  set(CPACK_DEBIAN_VBOARD_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_VBOARD_DESCRIPTION
    "Virtual STM32 boards in USB DFU mode, for tests and CI\n\
stm32-vboard runs a program next to emulated STM32 boards in USB DFU mode\n\
(umockdev), so that flashing tools are tested without hardware.\n\
Part of ${PROJECT_NAME}.")

  # dpkg-shlibdeps names the libraries each program really links (libc,
  # libstdc++, libusb; umockdev's and GLib only for stm32-vboard); without
  # it only the one library each needs at least is named.
  find_program(STM32_DPKG_SHLIBDEPS dpkg-shlibdeps)
  set(_flasher_depends)
  set(_vboard_depends)
  if(STM32_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    list(APPEND _flasher_depends libusb-1.0-0)
    list(APPEND _vboard_depends libumockdev0)
  endif()
  # stm32-vboard runs its command under umockdev's preload library, which is
  # loaded at run time and so invisible to dpkg-shlibdeps.
  list(APPEND _vboard_depends umockdev)
  list(JOIN _flasher_depends ", " CPACK_DEBIAN_FLASHER_PACKAGE_DEPENDS)
  list(JOIN _vboard_depends ", " CPACK_DEBIAN_VBOARD_PACKAGE_DEPENDS)
  # Debian packages keep their udev rules in /lib/udev/rules.d.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackagingDebLayout.cmake)
endif()

include(CPack)
if(TARGET stm32-vboard)
  cpack_add_component(vboard DISPLAY_NAME "stm32-vboard")
endif()
cpack_add_component(flasher DISPLAY_NAME "stm32cmd")
