# Compiles message sends through host/Runtime.h (cmake -P; called by the layers.sends test): a
# send of the platform's types compiles, and a send that would carry a C++ type (a C string, a
# std::string, a value, a list) does not, for the one reason that host/ refuses it.
# COMPILER, SOURCE_DIR, WORK
file(MAKE_DIRECTORY ${WORK})
set(prelude "#include \"host/Foundation.h\"\nvoid probe(host::id o, host::SEL s) {\n")
function(probe name body result output)
  set(file ${WORK}/${name}.cpp)
  file(WRITE ${file} "${prelude}  ${body};\n}\n")
  execute_process(COMMAND ${COMPILER} -std=c++20 -fsyntax-only -I${SOURCE_DIR} ${file}
    RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(${result} ${code} PARENT_SCOPE)
  set(${output} "${out}" PARENT_SCOPE)
endfunction()

set(failures 0)
foreach(good "host::msgSend<void, host::id, bool, long, double>(o, s, o, true, 1L, 2.0)"
             "(void)host::msgSend<host::id>(o, s)"
             "host::callIMP<void, host::Class, host::SEL, host::id*>(nullptr, o, s, nullptr, s, nullptr)")
  probe(good "${good}" code out)
  if(NOT code EQUAL 0)
    message(SEND_ERROR "should compile: ${good}\n${out}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
set(n 0)
foreach(bad "host::msgSend<void>(o, s, \"VPN\")"
            "(void)host::msgSend<const char*>(o, s)"
            "host::msgSend<void, const std::string*>(o, s, nullptr)"
            "(void)host::msgSend<host::Value>(o, s)"
            "host::msgSendSuper<void, host::ObjectList*>(nullptr, o, s, nullptr)"
            "host::callIMP<void, const host::Value*>(nullptr, o, s, nullptr)")
  math(EXPR n "${n} + 1")
  probe(bad${n} "${bad}" code out)
  if(code EQUAL 0)
    message(SEND_ERROR "a send of a C++ type compiles: ${bad}")
    math(EXPR failures "${failures} + 1")
  elseif(NOT out MATCHES "the platform's types")
    message(SEND_ERROR "refused for another reason than its types: ${bad}\n${out}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} probe(s) failed")
endif()
