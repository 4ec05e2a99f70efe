# Runs the generation of firmware-keys.h as the configure step does, with the values
# given by -D, into OUT_DIR; with EXPECT set, the header must contain that text.
include(${SOURCE_DIR}/cmake/RimeglassFirmwareKeys.cmake)
rimeglass_generate_firmware_keys(${OUT_DIR})
if(DEFINED EXPECT)
    file(READ ${OUT_DIR}/firmware-keys.h header)
    string(FIND "${header}" "${EXPECT}" position)
    if(position EQUAL -1)
        message(FATAL_ERROR "firmware-keys.h does not contain: ${EXPECT}")
    endif()
endif()
