# The Debian package (make package, or cpack -G DEB in a build directory): everything the
# install rules put under the prefix /usr, with dependencies found by dpkg-shlibdeps.

set(rimeglass_description_key
    "Firmware key: this build verifies firmware containers with the key whose\n"
    "fingerprint is ${RIMEGLASS_FIRMWARE_KEY_FINGERPRINT}.")
if(RIMEGLASS_TRUSTS_DEVELOPMENT_KEY)
    set(rimeglass_description_key
        "Firmware key: this build trusts the DEVELOPMENT key (fingerprint\n"
        "${RIMEGLASS_FIRMWARE_KEY_FINGERPRINT}): it accepts firmware containers signed with\n"
        "the published development seed, which anyone can use. Not for customers.")
endif()
string(CONCAT rimeglass_description
    "configuration tool for a cryogenic temperature monitor\n"
    "rimeglass configures a temperature-monitor instrument attached to a serial\n"
    "port. It shows the reported temperatures as numbers and as a running plot,\n"
    "edits and saves the instrument's settings, uploads custom sensor calibration\n"
    "tables, calibrates the voltage input and upgrades the firmware from signed\n"
    "containers. rimeglass-crp packs and inspects those containers.\n"
    "\n"
    ${rimeglass_description_key} "\n"
    "\n"
    "Opening a serial port needs membership of the dialout group\n"
    "(adduser USER dialout, then log in again); the package changes no groups.")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rimeglass)
set(CPACK_PACKAGE_VERSION ${rimeglass_VERSION})
set(CPACK_PACKAGE_VENDOR "rimeglass developers")
set(CPACK_PACKAGE_CONTACT "rimeglass developers <rimeglass@rimeglass.morva.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${rimeglass_description}")

# A development-key build is refused when the package is made, not when CMake configures,
# so that the same build directory still builds and tests.
if(RIMEGLASS_TRUSTS_DEVELOPMENT_KEY AND NOT RIMEGLASS_PACKAGE_DEVELOPMENT_KEY)
    set(rimeglass_package_refusal
        "message(FATAL_ERROR \"This build trusts the development firmware key, whose seed "
        "is public, so it is not packaged. Configure with -DRIMEGLASS_FIRMWARE_PUBLIC_KEY=<key> "
        "(keys/README.md), or with -DRIMEGLASS_PACKAGE_DEVELOPMENT_KEY=ON (make package "
        "PACKAGE_DEVELOPMENT_KEY=ON) for a test package.\")\n")
    message(STATUS "rimeglass: this build trusts the development key; make package refuses it "
        "unless RIMEGLASS_PACKAGE_DEVELOPMENT_KEY is ON")
else()
    set(rimeglass_package_refusal "")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/package-checks.cmake ${rimeglass_package_refusal})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/package-checks.cmake)

include(CPack)
