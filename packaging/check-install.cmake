# Stages an install of BUILD_DIR into STAGE and checks what a package would hold.
# cmake -DBUILD_DIR=... -DSTAGE=... -DVALIDATE=desktop-file-validate -P check-install.cmake
file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE}
    RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
foreach(program lento lento-export)
    if(NOT EXISTS ${STAGE}/bin/${program} OR IS_DIRECTORY ${STAGE}/bin/${program})
        message(FATAL_ERROR "${program} is not staged in ${STAGE}/bin")
    endif()
endforeach()
set(entry ${STAGE}/share/applications/lento.desktop)
execute_process(COMMAND ${VALIDATE} ${entry} RESULT_VARIABLE result OUTPUT_VARIABLE said
    ERROR_VARIABLE said)
if(NOT result EQUAL 0 OR said MATCHES "warning")
    message(FATAL_ERROR "${entry} is not a valid desktop entry: ${said}")
endif()
file(READ ${STAGE}/share/mime/packages/lento.xml mime)
file(READ ${entry} desktop)
if(NOT mime MATCHES "application/x-lento-edit" OR NOT mime MATCHES "[*][.]lento"
   OR NOT desktop MATCHES "application/x-lento-edit")
    message(FATAL_ERROR "the edit's file type is not registered by the staged files")
endif()
file(REMOVE_RECURSE ${STAGE})
