# Fails when PROGRAM loads, directly or through another library, libmpv or Qt Gui (and so Qt
# Widgets).
# cmake -DPROGRAM=... -DLDD=ldd -P check-export-links.cmake
execute_process(COMMAND ${LDD} ${PROGRAM} RESULT_VARIABLE result OUTPUT_VARIABLE libraries
    ERROR_VARIABLE said)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "ldd ${PROGRAM} failed: ${said}")
endif()
# A list without the media libraries would pass whatever it lacked.
if(NOT libraries MATCHES "libavformat")
    message(FATAL_ERROR "ldd ${PROGRAM} does not list libavformat:\n${libraries}")
endif()
foreach(forbidden "libmpv" "libQt6Gui" "libQt6Widgets" "libQt6OpenGLWidgets")
    string(FIND "${libraries}" "${forbidden}" at)
    if(NOT at EQUAL -1)
        message(FATAL_ERROR "${PROGRAM} loads ${forbidden}:\n${libraries}")
    endif()
endforeach()
