# The firmware signing set-up compiled into the reader and into rimeglass-crp: the
# Ed25519 public key that containers must be signed with and the 32-byte mask over
# their content. The defaults are the development set (keys/README.md); a maker
# configures its production values with -D on the first configure.

# The public key of the development set, whose seed is published in keys/.
set(RIMEGLASS_DEVELOPMENT_PUBLIC_KEY
    "4097b10a1999ba74bd2b481d1c10a846ee0a7a2ea2b16ee6b74488c89364a520")

set(RIMEGLASS_FIRMWARE_PUBLIC_KEY
    "${RIMEGLASS_DEVELOPMENT_PUBLIC_KEY}"
    CACHE STRING "Ed25519 public key that firmware containers are verified with (64 hex digits)")
set(RIMEGLASS_FIRMWARE_MASK
    "9c5c8fab9c12148fb337d6180e45631f6e124a0b1b328e9373901ba88332a1e3"
    CACHE STRING "32-byte XOR mask over the content of firmware containers (64 hex digits)")

set(RIMEGLASS_FIRMWARE_KEYS_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/firmware-keys.h.in)

# Sets OUT to the C initialiser list of the 32 bytes spelt by the cache variable NAME,
# or stops the configure step when the value is not exactly 64 hex digits.
function(rimeglass_hex32_initialiser name out)
    set(value "${${name}}")
    string(LENGTH "${value}" length)
    if(NOT length EQUAL 64 OR NOT value MATCHES "^[0-9A-Fa-f]+$")
        message(FATAL_ERROR
            "${name} must be exactly 64 hexadecimal digits (32 bytes), "
            "without spaces or a 0x prefix; it is \"${value}\" (${length} characters).")
    endif()
    string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " bytes "${value}")
    string(REGEX REPLACE ", $" "" bytes "${bytes}")
    set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

# Writes the header firmware-keys.h into DIRECTORY.
function(rimeglass_generate_firmware_keys directory)
    rimeglass_hex32_initialiser(RIMEGLASS_FIRMWARE_PUBLIC_KEY RIMEGLASS_FIRMWARE_PUBLIC_KEY_BYTES)
    rimeglass_hex32_initialiser(RIMEGLASS_FIRMWARE_MASK RIMEGLASS_FIRMWARE_MASK_BYTES)
    configure_file(${RIMEGLASS_FIRMWARE_KEYS_TEMPLATE}
        ${directory}/firmware-keys.h @ONLY)
endfunction()

# Sets RIMEGLASS_TRUSTS_DEVELOPMENT_KEY (ON when the build verifies containers with the
# development key, which anyone can sign with) and RIMEGLASS_FIRMWARE_KEY_FINGERPRINT
# (the first 16 hex digits of the key, lower case) in the caller's scope.
function(rimeglass_describe_firmware_key)
    string(TOLOWER "${RIMEGLASS_FIRMWARE_PUBLIC_KEY}" key)
    if(key STREQUAL RIMEGLASS_DEVELOPMENT_PUBLIC_KEY)
        set(RIMEGLASS_TRUSTS_DEVELOPMENT_KEY ON PARENT_SCOPE)
    else()
        set(RIMEGLASS_TRUSTS_DEVELOPMENT_KEY OFF PARENT_SCOPE)
    endif()
    string(SUBSTRING "${key}" 0 16 fingerprint)
    set(RIMEGLASS_FIRMWARE_KEY_FINGERPRINT "${fingerprint}" PARENT_SCOPE)
endfunction()
