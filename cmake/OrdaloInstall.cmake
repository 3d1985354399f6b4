# What `cmake --install` puts on a machine and what `cpack` packs into the Debian package: the
# programs, the three shared libraries with their public headers and pkg-config files, the udev
# rules, the systemd units, the service's system user and the documentation. Included last from
# the top-level CMakeLists.txt, once every target exists.
include(GNUInstallDirs)

set(ORDALO_VERSION 0.1.0)
# Relative to the install prefix: systemd, udev and systemd-sysusers also read these folders
# under /usr/local, so a /usr/local install is found as well as the package's /usr.
set(ORDALO_SYSTEM_UNIT_DIR lib/systemd/system CACHE STRING "systemd system units, under the prefix")
set(ORDALO_USER_UNIT_DIR lib/systemd/user CACHE STRING "systemd user units, under the prefix")
set(ORDALO_UDEV_RULES_DIR lib/udev/rules.d CACHE STRING "udev rules, under the prefix")
set(ORDALO_SYSUSERS_DIR lib/sysusers.d CACHE STRING "systemd-sysusers files, under the prefix")
set(ORDALO_DOC_SUBDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/ordalo)
set(ORDALO_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)

foreach(program OrdaloService OrdaloOSXBridge ordalo-monitor ordalo-virtual-frame ordalo-probe
                ordalo-rpc)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# ordalo_install_library(<target> <header folder> <description> [<pkg-config requires>])
function(ordalo_install_library target headers description)
  if(NOT TARGET ${target})
    return()
  endif()
  # A versioned soname, so that a later incompatible library can sit beside this one.
  set_target_properties(${target} PROPERTIES VERSION ${ORDALO_VERSION} SOVERSION 0)
  install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${headers}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ordalo
          FILES_MATCHING PATTERN "*.h")
  set(PC_NAME ${target})
  set(PC_DESCRIPTION "${description}")
  set(PC_REQUIRES "${ARGN}")
  file(RELATIVE_PATH PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
  configure_file(${ORDALO_PACKAGING}/pkgconfig/library.pc.in
                 ${CMAKE_BINARY_DIR}/packaging/pkgconfig/${target}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/pkgconfig/${target}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()

ordalo_install_library(PanoraCore ${CMAKE_SOURCE_DIR}/libPanoraCore/include
  "Ordalo frame processing: raw beam scans to tracked, calibrated touches")
ordalo_install_library(OrdaloOSXMapper ${CMAKE_SOURCE_DIR}/OrdaloOSXMapper/include
  "Ordalo gesture mapper: frames of contacts to gestures and desktop actions")
ordalo_install_library(OrdaloOSXPlugin ${CMAKE_SOURCE_DIR}/OrdaloOSXPlugin/include
  "Ordalo TUIO plugin: XML TUIO packets to frames for the gesture mapper" OrdaloOSXMapper)

# Units named *.in carry the install prefix's paths, which are only known at install time
# (cpack installs under /usr whatever the build was configured with). A unit wanted by
# multi-user.target belongs to the system manager; the others are the desktop user's.
file(GLOB ORDALO_UNITS CONFIGURE_DEPENDS ${ORDALO_PACKAGING}/systemd/*)
foreach(unit ${ORDALO_UNITS})
  file(READ ${unit} text)
  if(text MATCHES "WantedBy=multi-user.target")
    set(dir ${ORDALO_SYSTEM_UNIT_DIR})
  else()
    set(dir ${ORDALO_USER_UNIT_DIR})
  endif()
  get_filename_component(name ${unit} NAME)
  if(name MATCHES "\\.in$")
    string(REGEX REPLACE "\\.in$" "" name ${name})
    set(staged ${CMAKE_BINARY_DIR}/packaging/systemd/${name})
    install(CODE "
      set(ORDALO_BIN_DIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
      set(ORDALO_DOC_DIR \"\${CMAKE_INSTALL_PREFIX}/${ORDALO_DOC_SUBDIR}\")
      configure_file(\"${unit}\" \"${staged}\" @ONLY)
      file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${dir}\" TYPE FILE FILES \"${staged}\")")
  else()
    install(FILES ${unit} DESTINATION ${dir})
  endif()
endforeach()

file(GLOB ORDALO_UDEV_RULES CONFIGURE_DEPENDS ${ORDALO_PACKAGING}/udev/*.rules)
install(FILES ${ORDALO_UDEV_RULES} DESTINATION ${ORDALO_UDEV_RULES_DIR})
install(FILES ${ORDALO_PACKAGING}/sysusers/ordalo.conf DESTINATION ${ORDALO_SYSUSERS_DIR})
file(GLOB ORDALO_DOCS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md ${CMAKE_SOURCE_DIR}/docs/*.svg)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${ORDALO_DOCS} DESTINATION ${ORDALO_DOC_SUBDIR})
# Debian wants the changelog compressed, reproducibly (no name or time stamp in the header).
find_program(ORDALO_GZIP gzip)
if(ORDALO_GZIP)
  install(CODE "
    execute_process(COMMAND \"${ORDALO_GZIP}\" -9nc \"${ORDALO_PACKAGING}/debian/changelog\"
                    OUTPUT_FILE \"${CMAKE_BINARY_DIR}/packaging/changelog.gz\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${ORDALO_DOC_SUBDIR}\" TYPE FILE
         FILES \"${CMAKE_BINARY_DIR}/packaging/changelog.gz\")")
endif()

# ---- The Debian package ----------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ordalo)
set(CPACK_PACKAGE_VERSION ${ORDALO_VERSION})
set(CPACK_PACKAGE_CONTACT "Ordalo developers <ordalo@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver stack for USB infrared multi-touch frames")
set(CPACK_PACKAGE_DESCRIPTION
  "OrdaloService binds up to five infrared touch frames (USB HID 4b5d:1001)
and publishes their touches as TUIO 1.1 cursors over UDP port 3333 and as
XML over TCP port 3000; the gesture bridge turns them into desktop input.
Includes the frame-processing and gesture libraries, a live touch monitor,
a simulated frame and diagnostic tools.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/ordalo")
# The libraries' own dependencies come from dpkg-shlibdeps; adduser makes the system user.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev, systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${ORDALO_PACKAGING}/debian/postinst ${ORDALO_PACKAGING}/debian/prerm
  ${ORDALO_PACKAGING}/debian/postrm ${ORDALO_PACKAGING}/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# cpack and `make install` take the build as it is; the tests pack it without building.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)
