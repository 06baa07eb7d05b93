# Makes the Debian packages of a build and unpacks them into OUT/root.
#   cmake -DCPACK=<cpack> -DBUILD=<build folder> -DOUT=<folder> -P BuildPackages.cmake
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${CPACK} -G DEB -B ${OUT} --config ${BUILD}/CPackConfig.cmake
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output
                TIMEOUT 540)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "cpack failed (${status}):\n${output}")
endif()
file(GLOB packages ${OUT}/*.deb)
list(LENGTH packages count)
if(NOT count EQUAL 2)
    message(FATAL_ERROR "cpack made ${count} packages, not 2 (${packages}):\n${output}")
endif()
foreach(package ${packages})
    execute_process(COMMAND dpkg-deb -x ${package} ${OUT}/root RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "dpkg-deb -x ${package} failed (${status})")
    endif()
    execute_process(COMMAND dpkg-deb -I ${package})
endforeach()
