# The core's layers, bottom-up: base, protocol, serial, job, send and receive.
# Each layer's headers are reachable only through a folder of its own,
# <build>/layers/<layer>, that holds one link named <layer> to its sources. A
# target finds "serial/serial_port.h" only when it links zarvek_serial_headers,
# which each layer's library passes to what links it. So an include of a higher
# layer's header from a lower one is not found, and the build fails on it.
# The front ends, the harness, the tests and the benchmarks, above every layer,
# include from the project's root.
function(zarvek_layer_headers layer)
  set(dir ${CMAKE_BINARY_DIR}/layers/${layer})
  file(MAKE_DIRECTORY ${dir})
  file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${layer} ${dir}/${layer} SYMBOLIC)
  add_library(zarvek_${layer}_headers INTERFACE)
  target_include_directories(zarvek_${layer}_headers INTERFACE ${dir})
endfunction()
