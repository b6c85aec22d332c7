# Makes a delay-import library: a program linked with it loads the DLL at its first call into
# it, not at its start. Run as cmake -P with NM, DLLTOOL, IMPORTS (the toolchain's import
# library of the DLL), DLL (its file name), OUT and, for i686, STDCALL=1.
execute_process(COMMAND ${NM} ${IMPORTS} OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${NM} ${IMPORTS} failed")
endif()
# Every import the library offers, by the name a call site links against: __imp_NAME, with
# i686's leading underscore and stdcall's @N (which -k takes off the name that is imported).
string(REGEX MATCHALL "[^\n]* I __imp_[^\n]*" lines "${symbols}")
set(names "")
foreach(line ${lines})
    string(REGEX REPLACE ".* I __imp_" "" name "${line}")
    if(STDCALL)
        string(REGEX REPLACE "^_" "" name "${name}")
    endif()
    list(APPEND names "${name}")
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
string(REPLACE ";" "\n" exports "${names}")
file(WRITE ${OUT}.def "LIBRARY ${DLL}\nEXPORTS\n${exports}\n")
set(kill_at "")
if(STDCALL)
    set(kill_at -k)
endif()
execute_process(COMMAND ${DLLTOOL} ${kill_at} --deterministic-libraries -d ${OUT}.def
                        -D ${DLL} -y ${OUT} RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${DLLTOOL} could not make ${OUT}")
endif()
