# The version lives in project(VERSION) alone; the release notes that name versions (the
# Debian changelog and the AppStream releases) must start with an entry for it.
function(rimeglass_check_release_notes changelog metainfo)
    file(STRINGS ${changelog} first_line LIMIT_COUNT 1)
    string(REGEX MATCH "^rimeglass \\(([^)]+)\\)" entry "${first_line}")
    if(NOT CMAKE_MATCH_1 STREQUAL rimeglass_VERSION)
        message(FATAL_ERROR "${changelog} starts with version \"${CMAKE_MATCH_1}\", but "
            "project() says ${rimeglass_VERSION}: add an entry for ${rimeglass_VERSION} at its top.")
    endif()
    file(READ ${metainfo} text)
    string(REGEX MATCH "<release version=\"([^\"]+)\"" entry "${text}")
    if(NOT CMAKE_MATCH_1 STREQUAL rimeglass_VERSION)
        message(FATAL_ERROR "The first release in ${metainfo} is \"${CMAKE_MATCH_1}\", but "
            "project() says ${rimeglass_VERSION}: add a <release> for ${rimeglass_VERSION} first.")
    endif()
endfunction()
