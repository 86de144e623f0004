# Installs the build tree into a fresh prefix, checks the layout and that
# every function the installed headers declare links, then builds and runs
# the C++ consumer and the C99 consumer, each once with find_package(Vexo)
# and once with pkg-config.
#   cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DCONSUMER_DIR=<C++ consumer sources>
#         -DC_CONSUMER_DIR=<C consumer sources> -P install_test.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(path lib/libvexo.so lib/libbmlib.so.0 lib/cmake/Vexo/VexoConfig.cmake lib/pkgconfig/vexo.pc
             include/vexo/vexo.h include/vexo/bmlib_runtime.h include/vexo/runtime/minitensor.h include/vexo/bmodel/bmodel.h
             include/vexo/bmodel/bmodel_generated.h include/vexo/utils/version.h)
  if(NOT EXISTS ${prefix}/${path})
    message(FATAL_ERROR "the install lacks ${path}")
  endif()
endforeach()
# Internal headers stay out of the install.
foreach(path include/vexo/runtime/command_format.h include/vexo/kernel include/vexo/utils/fp16.h
             include/vexo/utils/logs.h include/vexo/utils/guard.h include/vexo/bmodel/internal)
  if(EXISTS ${prefix}/${path})
    message(FATAL_ERROR "the install holds the internal ${path}")
  endif()
endforeach()
run(/usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/check_linkable.py ${prefix})
message(STATUS "${output}")

run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-consumer -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-consumer)
run(${WORK_DIR}/cmake-consumer/consumer)
if(NOT output MATCHES "device 0 status 0")
  message(FATAL_ERROR "unexpected output of the CMake consumer: ${output}")
endif()

run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig pkg-config --cflags --libs vexo)
string(STRIP "${output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(c++ -std=c++17 ${CONSUMER_DIR}/main.cpp ${flags} -o ${WORK_DIR}/pkg-consumer)
run(${WORK_DIR}/pkg-consumer)
if(NOT output MATCHES "device 0 status 0")
  message(FATAL_ERROR "unexpected output of the pkg-config consumer: ${output}")
endif()

# The C consumer lists the general sample and runs its "pad" net.
run(${prefix}/bin/vexo-samples --out ${WORK_DIR}/samples)
set(model ${WORK_DIR}/samples/general.bmodel)
function(check_c_consumer program)
  run(${CMAKE_COMMAND} -E env LOG_LEVEL=0 ${program} ${model})
  if(NOT output MATCHES "reverse stage 1: i:rows\\[2x4\\] dtype 1, 16 bytes; o:reversed\\[2x4\\]"
     OR NOT output MATCHES "padded: as expected")
    message(FATAL_ERROR "unexpected output of ${program}: ${output}")
  endif()
endfunction()

run(${CMAKE_COMMAND} -S ${C_CONSUMER_DIR} -B ${WORK_DIR}/cmake-c-consumer -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-c-consumer)
check_c_consumer(${WORK_DIR}/cmake-c-consumer/c_consumer)

run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig pkg-config --cflags --libs vexo)
string(STRIP "${output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(cc -std=c99 -Wall -Wextra -Werror ${C_CONSUMER_DIR}/main.c ${flags} -o ${WORK_DIR}/pkg-c-consumer)
check_c_consumer(${WORK_DIR}/pkg-c-consumer)
