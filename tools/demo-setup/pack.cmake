# Packs the demo setup: the setup program, then the product it installs, then the trailer
# "VEXLOR-PAYLOAD:" + the product's size in 16 decimal digits + "\n" (see demo_setup.h).
#   cmake -DSTUB=<setup program> -DPAYLOAD=<product> -DOUTPUT=<packed setup> -P pack.cmake
execute_process(COMMAND ${CMAKE_COMMAND} -E cat ${STUB} ${PAYLOAD}
                OUTPUT_FILE ${OUTPUT}.tmp RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cannot pack ${OUTPUT}")
endif()
file(SIZE ${PAYLOAD} size)
string(LENGTH "${size}" digits)
while(digits LESS 16)
  string(PREPEND size "0")
  math(EXPR digits "${digits} + 1")
endwhile()
file(APPEND ${OUTPUT}.tmp "VEXLOR-PAYLOAD:${size}\n")
file(CHMOD ${OUTPUT}.tmp FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
