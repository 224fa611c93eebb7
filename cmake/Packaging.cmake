# Debian packages with CPack: `cpack --preset NAME` (or `cpack` in a build
# tree) after a build. The armhf and arm64 builds give armhf and arm64
# packages of static programs; the native build an amd64 package whose
# dependencies come from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lib-timing)
set(CPACK_PACKAGE_VENDOR "lib_timing developers")
set(CPACK_PACKAGE_CONTACT "lib_timing developers <lib-timing@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "timing library, lapcost, boardmark and nine-bit RS-485 serial tools")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "A static timing library for benchmark programs (interval clock, sample sets,\n self-calibration, multi-process benchmark driver with CPU placement, reports),\n the lapcost loop-overhead probe, the boardmark board characterisation\n (memory latency and bandwidth, pipe round trips, system calls), and\n ninetx_soft, ninetx_flag_a, ninetx_flag_b and ninetx_addrb, which send\n nine-bit frames on an RS-485 serial port, and ninerx, which receives and\n verifies them.")
# timing-compare and timing-plot are Python and need Debian's scientific
# stack; the library and the programs do not, so a board may do without.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3, python3-scipy, python3-matplotlib, python3-jsonschema")
string(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "\n The host-side tools timing-compare and timing-plot compare and plot the\n JSON Lines of the reports.\n For LAVA labs: a test definition that runs boardmark\n (share/lib_timing/lava/boardmark.yaml), timing-lava-cases, which turns\n its JSON Lines into LAVA test cases on the board, and timing-lava-results,\n which writes them back from the job logs.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
  # Fully static programs: nothing to depend on at run time.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
else()
  find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
  endif()
endif()
include(CPack)
